"""The command line on real-looking data: dates and ticks, warm-up, missing cells, hints, pictures."""

import csv
import io
import os
import struct
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest

import tarn
from test_cli import read_csv, run_cli, write_csv

MSTREAM = ["-d", "mstream", "--timestamp", "time", "--numeric", "value", "--seed", "3", "--warmup", "0"]


def dated_rows(n, start="2014-07-01 00:17:00", step_minutes=7):
    t0 = datetime.fromisoformat(start)
    return [[(t0 + timedelta(minutes=step_minutes * i)).isoformat(sep=" "), f"{(i * 37 % 11) / 3:.3f}"]
            for i in range(n)]


def scores_of(text):
    return [float(r[-1]) if r[-1] else None for r in read_csv(text)[1:]]


def test_dates_become_ticks_counted_from_the_first_record(tmp_path):
    rows = dated_rows(150)
    # The same instants with a zone, and as seconds since 1970.
    zoned = [[t.replace(" ", "T") + "+00:00" if i % 2 else t.replace(" ", "T") + "Z", v] for i, (t, v) in enumerate(rows)]
    epoch = [[str(int(datetime.fromisoformat(t).replace(tzinfo=timezone.utc).timestamp())), v] for t, v in rows]
    runs = [
        run_cli("score", write_csv(tmp_path / "a.csv", ["time", "value"], rows), *MSTREAM, "--tick", "1h"),
        run_cli("score", write_csv(tmp_path / "b.csv", ["time", "value"], zoned), *MSTREAM, "--tick", "60min"),
        run_cli("score", write_csv(tmp_path / "c.csv", ["time", "value"], epoch), *MSTREAM, "--tick", "3600s",
                "--timestamp-format", "epoch"),
    ]
    for r in runs:
        assert r.returncode == 0 and r.stderr == "", r.stderr
    # Hour boundaries in UTC: 00:17 starts tick 1, 00:59 is still in it, 01:06 is in tick 2.
    model = tarn.MStream(1, 0, seed=3)
    ticks = [int((datetime.fromisoformat(t) - datetime(2014, 7, 1)).total_seconds() // 3600) + 1 for t, _ in rows]
    assert ticks[0] == 1 and ticks[6] == 1 and ticks[7] == 2
    expected = [model.update_and_score([float(v)], [], k) for (_, v), k in zip(rows, ticks)]
    assert [scores_of(r.stdout) for r in runs] == [expected] * 3
    # A zone shifts the instant: 00:17+02:00 is 22:17 UTC, two ticks before 00:38Z.
    shifted = [[t + "+02:00", v] for t, v in rows[:3]] + [[rows[3][0] + "Z", rows[3][1]]]
    r = run_cli("score", write_csv(tmp_path / "d.csv", ["time", "value"], shifted), *MSTREAM, "--tick", "1h")
    assert r.returncode == 0
    model = tarn.MStream(1, 0, seed=3)
    assert scores_of(r.stdout) == [model.update_and_score([float(v)], [], k)
                                   for (_, v), k in zip(shifted, [1, 1, 1, 3])]


def test_resumed_dates_continue_the_tick_numbering(tmp_path):
    rows = dated_rows(200)
    opts = [*MSTREAM, "--tick", "30min"]
    whole = run_cli("score", write_csv(tmp_path / "all.csv", ["time", "value"], rows), *opts)
    state = tmp_path / "state.json"
    pieces = []
    for k, (lo, hi) in enumerate([(0, 0), (0, 61), (61, 200)]):
        r = run_cli("score", write_csv(tmp_path / f"p{k}.csv", ["time", "value"], rows[lo:hi]), *opts,
                    "--state", state)
        assert r.returncode == 0, r.stderr
        pieces += scores_of(r.stdout)
    assert pieces == scores_of(whole.stdout)
    # The state file is still the detector's own: its class reads it.
    assert tarn.MStream.load_json(state).entries_seen() == 200
    text = state.read_text()
    assert '"tarn_cli":{"version":1,"clock":{"tick_us":1800000000,' in text
    assert '"first_tick_start":"2014-07-01T00:00:00Z"' in text

    later = write_csv(tmp_path / "later.csv", ["time", "value"], dated_rows(3, start="2014-07-02 00:00:00"))
    r = run_cli("score", later, *MSTREAM, "--tick", "1h", "--state", state)
    assert r.returncode == 2 and "--tick 1h differs from the tick of 30min saved in" in r.stderr
    # A state of integer ticks cannot go on in dates.
    ints = write_csv(tmp_path / "ints.csv", ["time", "value"], [["1", "1.0"], ["2", "2.0"]])
    assert run_cli("score", ints, *MSTREAM, "--state", tmp_path / "int.json").returncode == 0
    r = run_cli("score", later, *MSTREAM, "--tick", "1h", "--state", tmp_path / "int.json")
    assert r.returncode == 2 and "saved by a run without --tick" in r.stderr
    # Time that goes back before the first tick is refused with the tick's start.
    back = write_csv(tmp_path / "back.csv", ["time", "value"], [["2014-07-01 05:00", "1"], ["2014-07-01 03:59", "1"]])
    r = run_cli("score", back, *MSTREAM, "--tick", "1h")
    assert r.returncode == 1 and "before the stream's first tick, which starts at 2014-07-01T05:00:00Z" in r.stderr


def test_warmup(tmp_path):
    rows = [[str(i + 1), f"{(i * 7919) % 101 / 10:.1f}"] for i in range(300)]
    path = write_csv(tmp_path / "in.csv", ["t", "x"], rows)

    def empty_prefix(*options):
        r = run_cli("score", path, *options)
        assert r.returncode == 0, r.stderr
        cells = [row[-1] for row in read_csv(r.stdout)[1:]]
        k = next(i for i, c in enumerate(cells) if c)
        assert all(cells[k:]), "only a prefix is empty"
        return k

    # Forest: until is_ready() (readiness threshold + 1 rows; 8 // 4 + 1 + (4 - 1) = 6).
    assert empty_prefix("--numeric", "x", "--capacity", "8", "--shingle-size", "4", "--seed", "1") == 7
    assert empty_prefix("--numeric", "x", "--output-after", "40", "--seed", "1") == 41
    assert empty_prefix("-d", "onlineiforest", "--numeric", "x", "--seed", "1") == 256
    assert empty_prefix("-d", "onlineiforest", "--numeric", "x", "--max-leaf-samples", "280", "--seed", "1") == 280
    assert empty_prefix("-d", "featuresketch", "--timestamp", "t", "--seed", "1") == 256
    assert empty_prefix("-d", "mstream", "--timestamp", "t", "--numeric", "x", "--warmup", "5") == 5
    assert empty_prefix("-d", "onlineiforest", "--numeric", "x", "--warmup", "0") == 0
    # The warm-up counts records learned, so it carries across pieces of a stream.
    state = tmp_path / "s.json"
    first = write_csv(tmp_path / "a.csv", ["t", "x"], rows[:30])
    rest = write_csv(tmp_path / "b.csv", ["t", "x"], rows[30:60])
    for piece, blank in ((first, 30), (rest, 20)):
        r = run_cli("score", piece, "--numeric", "x", "--warmup", "50", "--seed", "1", "--state", state)
        assert sum(1 for row in read_csv(r.stdout)[1:] if not row[-1]) == blank


def test_missing_cells(tmp_path):
    rows = [["1", "1.0"], ["2", ""], ["3", "3.0"], ["", "4.0"], ["5", "5.0"]]
    path = write_csv(tmp_path / "in.csv", ["t", "x"], rows)
    opts = ["-d", "mstream", "--timestamp", "t", "--numeric", "x", "--seed", "2", "--warmup", "0"]
    r = run_cli("score", path, *opts)
    assert r.returncode == 1 and "line 3: column 'x': empty value" in r.stderr

    r = run_cli("score", path, *opts, "--on-missing", "skip")
    assert r.returncode == 0 and [row[:2] for row in read_csv(r.stdout)[1:]] == rows
    model = tarn.MStream(1, 0, seed=2)
    expected = [model.update_and_score([float(x)], [], int(t)) if t and x else None for t, x in rows]
    assert scores_of(r.stdout) == expected

    model = tarn.MStream(1, 0, seed=2)
    filled = [["1", "1.0"], ["2", "1.0"], ["3", "3.0"], ["3", "4.0"], ["5", "5.0"]]
    expected = [model.update_and_score([float(x)], [], int(t)) for t, x in filled]
    r = run_cli("score", path, *opts, "--on-missing", "previous")
    assert scores_of(r.stdout) == expected
    # The previous values are kept with the state: a piece starting with an empty cell continues.
    state = tmp_path / "s.json"
    parts = [write_csv(tmp_path / "p1.csv", ["t", "x"], rows[:3]), write_csv(tmp_path / "p2.csv", ["t", "x"], rows[3:])]
    resumed = []
    for part in parts:
        r = run_cli("score", part, *opts, "--on-missing", "previous", "--state", state)
        assert r.returncode == 0, r.stderr
        resumed += scores_of(r.stdout)
    assert resumed == expected
    assert tarn.MStream.load_json(state).entries_seen() == 5
    # Nothing earlier to carry forward: the row is skipped.
    r = run_cli("score", write_csv(tmp_path / "e.csv", ["t", "x"], [["1", ""], ["2", "2"]]), *opts,
                "--on-missing", "previous")
    assert scores_of(r.stdout)[0] is None and scores_of(r.stdout)[1] is not None


def test_hints_and_exit_codes(tmp_path):
    dated = write_csv(tmp_path / "dated.csv", ["timestamp", "value"], dated_rows(5))
    r = run_cli("score", dated)
    assert r.returncode == 1
    assert "column 'timestamp': '2014-07-01 00:17:00' is not a number (a date/time: name its column with " \
           "--timestamp" in r.stderr
    r = run_cli("score", dated, "--timestamp", "timestamp", "--warmup", "0")
    assert r.returncode == 0 and len(read_csv(r.stdout)[1]) == 3
    r = run_cli("score", dated, "-d", "mstream", "--timestamp", "timestamp", "--numeric", "value")
    assert r.returncode == 1 and "is not a positive integer (a date/time: pass --tick DURATION" in r.stderr
    r = run_cli("score", dated, "-d", "mstream", "--timestamp", "value", "--numeric", "value", "--tick", "1h")
    assert "'0.000' is not an ISO 8601 date/time (for seconds since 1970 pass --timestamp-format epoch)" in r.stderr

    semi = tmp_path / "semi.csv"
    semi.write_text("a;b\n1;2\n")
    r = run_cli("score", semi)
    assert r.returncode == 1 and r.stderr.endswith(
        "column 'a;b': '1;2' is not a number (the input looks ';'-separated: pass --delimiter ';')\n")
    tabbed = tmp_path / "tab.csv"
    tabbed.write_text("cpu load\tmem\n1\t2\n")
    r = run_cli("score", tabbed, "--numeric", "mem")
    assert r.returncode == 2
    assert r.stderr == ("python -m tarn score: error: --numeric: no column 'mem' in the header "
                        "(columns: 'cpu load\\tmem'); the input looks tab-separated: pass --delimiter tab\n")
    assert run_cli("score", tabbed, "--numeric", "mem", "--delimiter", "tab", "--warmup", "0").returncode == 0

    state = tmp_path / "m.json"
    tarn.MStream(1, 0, seed=1).save_json(state)
    r = run_cli("score", semi, "--state", state, "--delimiter", ";")
    assert r.returncode == 1 and "invalid forest JSON: " in r.stderr
    assert f"({state} holds a state of class MStream: pass -d mstream)" in r.stderr

    r = run_cli("score", semi, "--no-update")
    assert r.returncode == 2 and "--no-update needs --state FILE" in r.stderr
    r = run_cli("score", semi, "--timestamp-format", "epoch")
    assert r.returncode == 2 and "--timestamp-format needs --timestamp COL" in r.stderr
    r = run_cli("score", dated, "-d", "mstream", "--timestamp", "timestamp", "--numeric", "value",
                "--timestamp-format", "epoch")
    assert r.returncode == 2 and "--timestamp-format epoch needs --tick DURATION" in r.stderr
    r = run_cli("score", dated, "-d", "mstream", "--timestamp", "timestamp", "--numeric", "value", "--tick", "5m")
    assert r.returncode == 2 and "expected a duration such as 30s, 5min, 1h or 1d" in r.stderr
    r = run_cli("score", dated, "--timestamp", "time stamp")
    assert r.returncode == 2 and "--timestamp: no column 'time stamp' in the header" in r.stderr

    # Seconds since 1970 taken as integer ticks: scores would climb with the tick number.
    epoch = write_csv(tmp_path / "epoch.csv", ["t", "x"], [["1404172800", "1"], ["1404173100", "2"]])
    r = run_cli("score", epoch, "-d", "mstream", "--timestamp", "t", "--numeric", "x")
    assert r.returncode == 0 and "note: the stream starts at tick 1404172800" in r.stderr


# --------------------------------------------------------------------------
# Pictures


def plot_available():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        # CI's first stage installs the plot extra: a missing matplotlib is a failure there.
        if os.environ.get("TARN_REQUIRE_EXTRAS") == "1":
            raise
        return False
    return True


needs_plot = pytest.mark.skipif(not plot_available(), reason="matplotlib (tarn[plot]) is not installed")


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@needs_plot
def test_pictures(tmp_path):
    rows = dated_rows(400)
    rows[300][1] = "40.0"
    path = write_csv(tmp_path / "in.csv", ["time", "value"], rows)
    r = run_cli("score", path, "--timestamp", "time", "--seed", "1", "--plot", tmp_path / "s.png", "-o",
                tmp_path / "scored.csv")
    assert r.returncode == 0, r.stderr
    assert png_size(tmp_path / "s.png") == (1100, 600)

    scored = read_csv((tmp_path / "scored.csv").read_text())
    scored[0].append("is_alert")
    for k, row in enumerate(scored[1:]):
        row.append("1" if k == 300 else "0")
    write_csv(tmp_path / "alerts.csv", scored[0], scored[1:])
    r = run_cli("plot", tmp_path / "alerts.csv", "-o", tmp_path / "p.png", "--title", "one alert")
    assert r.returncode == 0, r.stderr
    assert png_size(tmp_path / "p.png") == (1100, 600)
    r = run_cli("plot", tmp_path / "alerts.csv", "-o", tmp_path / "q.png", "--score-column", "nope")
    assert r.returncode == 2 and "--score-column: no column 'nope'" in r.stderr and not (tmp_path / "q.png").exists()

    r = run_cli("demo", "--records", "300", "--plot", tmp_path / "demo")
    assert r.returncode == 0, r.stderr
    names = sorted(os.listdir(tmp_path / "demo"))
    assert names == ["featuresketch.png", "forest.png", "mstream.png", "onlineiforest.png"]
    assert all(png_size(tmp_path / "demo" / n) == (1100, 600) for n in names)


def test_pictures_without_matplotlib(tmp_path):
    # A matplotlib that fails to import stands for one that is not installed.
    fake = tmp_path / "fake" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "fake"), *sys.path]))
    path = write_csv(tmp_path / "in.csv", ["x"], [["1"], ["2"]])
    for args in (["score", path, "--plot", tmp_path / "a.png"], ["plot", path, "-o", tmp_path / "a.png"],
                 ["demo", "--plot", tmp_path / "d"]):
        r = subprocess.run([sys.executable, "-m", "tarn", *map(str, args)], capture_output=True, text=True, env=env,
                           check=False)
        assert r.returncode == 1 and r.stdout == ""
        assert r.stderr.endswith('pictures need matplotlib, which is not installed: pip install "tarn[plot]"\n')
    assert sorted(os.listdir(tmp_path)) == ["fake", "in.csv"]


def test_alert_columns_and_resume(tmp_path):
    from tarn.alerts import Threshold

    rows = [[str(i), f"{(i * 37 % 11) / 3 + (9.0 if i % 97 == 50 else 0.0):.3f}"] for i in range(400)]
    opts = ["--numeric", "x", "--num-trees", "20", "--seed", "1", "--warmup", "20", "--alert-rate", "0.05",
            "--alert-warmup", "30"]
    whole = run_cli("score", write_csv(tmp_path / "all.csv", ["t", "x"], rows), *opts)
    assert whole.returncode == 0, whole.stderr
    out = read_csv(whole.stdout)
    assert out[0] == ["t", "x", "score", "grade", "is_alert"]
    assert all(r[2:] == ["", "", ""] for r in out[1:21])
    forest, threshold = tarn.Forest(1, num_trees=20, seed=1), Threshold(rate=0.05, warmup=30)
    expected = []
    for k, (_, x) in enumerate(rows):
        s = forest.update_and_score([float(x)])
        if k >= 20:
            flag, grade = threshold.update(s)
            expected.append([repr(s), repr(grade), "1" if flag else "0"])
    assert [r[2:] for r in out[21:]] == expected
    assert 0 < sum(r[-1] == "1" for r in out[21:]) < 60

    # In pieces with --state: the same alerts; the saved threshold goes on without --alert-rate.
    state = tmp_path / "s.json"
    texts = []
    for k, (lo, hi, extra) in enumerate([(0, 0, opts), (0, 150, opts), (150, 400, ["--numeric", "x", "--warmup", "20"])]):
        r = run_cli("score", write_csv(tmp_path / f"p{k}.csv", ["t", "x"], rows[lo:hi]), *extra, "--state", state)
        assert r.returncode == 0, r.stderr
        texts.append(r.stdout.split("\n", 1)[1])
    assert "".join(texts) == whole.stdout.split("\n", 1)[1]
    assert tarn.Forest.load_json(state).entries_seen() == 400
    saved = state.read_bytes()
    r = run_cli("score", tmp_path / "p2.csv", "--numeric", "x", "--state", state, "--no-update")
    assert r.returncode == 0 and state.read_bytes() == saved
    assert read_csv(r.stdout)[0][-2:] == ["grade", "is_alert"]

    for args, message in [
        (["--alert-rate", "0.01", "--state", state], "--alert-rate 0.01 differs from the 0.05 of the threshold saved"),
        (["--alert-warmup", "5"], "--alert-warmup needs --alert-rate R"),
        (["--alert-rate", "1.5"], "--alert-rate/--alert-warmup: "),
    ]:
        r = run_cli("score", tmp_path / "p1.csv", *args)
        assert r.returncode == 2 and message in r.stderr, (args, r.stderr)
    r = run_cli("score", write_csv(tmp_path / "g.csv", ["grade", "x"], rows[:3]), "--numeric", "x", "--alert-rate",
                "0.1")
    assert r.returncode == 1 and "the header already has a column 'grade'" in r.stderr
