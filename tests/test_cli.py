"""The command line, run as `python -m tarn` in a subprocess on small CSV files."""

import csv
import io
import math
import os
import pty
import random
import subprocess
import sys
from pathlib import Path

import pytest

import tarn
from tarn._cli import category_code
from tarn._metrics import roc_auc


def run_cli(*args, stdin=None, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "tarn", *map(str, args)], input=stdin, capture_output=False,
                          stdout=subprocess.PIPE, stderr=stderr, text=True, cwd=cwd, check=False)


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)
    return path


def read_csv(text):
    return list(csv.reader(io.StringIO(text)))


def scores_of(text, column=-1):
    rows = read_csv(text)
    return [float(r[column]) for r in rows[1:]]


def numeric_rows(n, seed=3):
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        a = math.sin(i / 5) + rng.gauss(0, 0.05)
        b = 10.0 if i == n // 2 else rng.gauss(1.0, 0.1)
        rows.append([f"id{i}", f"{a:.4f}", f"{b:.4f}"])
    return rows


def traffic_rows(n, seed=4):
    rng = random.Random(seed)
    return [[str(1 + i // 5), f"{rng.uniform(100, 200):.2f}", str(rng.randrange(5)), rng.choice(["tcp", "udp"])]
            for i in range(n)]


def event_rows(n, seed=5):
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        latency = f"{rng.gauss(50, 5):.1f}" if rng.random() < 0.7 else ""
        size = f"{rng.gauss(8, 1):.2f}" if rng.random() < 0.5 else ""
        rows.append([latency, size, rng.choice(["get", "post", "", "get"])])
    return rows


# Each detector: its CSV, the command-line options, and how to score the same
# rows in process (the CLI must give exactly these values).
CASES = {
    "forest": (
        ["id", "a", "b"], numeric_rows(120),
        ["--numeric", "a,b", "--shingle-size", "4", "--num-trees", "10", "--capacity", "32", "--seed", "11",
         "--warmup", "0"],
        lambda: tarn.Forest(2, shingle_size=4, num_trees=10, capacity=32, seed=11),
        lambda r: ([float(r[1]), float(r[2])],),
    ),
    "onlineiforest": (
        ["id", "a", "b"], numeric_rows(120),
        ["--numeric", "a", "--numeric", "b", "--num-trees", "8", "--window-size", "64",
         "--max-leaf-samples", "8", "--seed", "12", "--warmup", "0"],
        lambda: tarn.OnlineIForest(2, num_trees=8, window_size=64, max_leaf_samples=8, seed=12),
        lambda r: ([float(r[1]), float(r[2])],),
    ),
    "mstream": (
        ["ts", "bytes", "src", "proto"], traffic_rows(120),
        ["--timestamp", "ts", "--numeric", "bytes", "--categorical", "src,proto", "--num-buckets", "64",
         "--alpha", "0.5", "--seed", "13", "--warmup", "0"],
        lambda: tarn.MStream(1, 2, num_buckets=64, alpha=0.5, seed=13),
        lambda r: ([float(r[1])], [category_code(r[2]), category_code(r[3])], int(r[0])),
    ),
    "featuresketch": (
        ["latency", "size", "method"], event_rows(120),
        ["--features", "latency,size", "--categorical", "method", "--chains-per-ensemble", "4",
         "--chain-depth", "4", "--sketch-buckets", "64", "--seed", "14", "--warmup", "0"],
        lambda: tarn.FeatureSketch(chains_per_ensemble=4, chain_depth=4, sketch_buckets=64, seed=14),
        lambda r: ([(n, float(v)) for n, v in zip(["latency", "size"], r[:2]) if v]
                   + ([("method=" + r[2], 1.0)] if r[2] else []),),
    ),
}

CLASS_OF = {"forest": "Forest", "onlineiforest": "OnlineIForest", "mstream": "MStream",
            "featuresketch": "FeatureSketch"}


# --------------------------------------------------------------------------
# ROC-AUC


def test_roc_auc_values():
    assert roc_auc([False, False, True, True], [0.1, 0.4, 0.35, 0.8]) == 0.75
    assert roc_auc([True, False, True], [3.0, 1.0, 2.0]) == 1.0
    assert roc_auc([True, False, True], [-3.0, 1.0, -2.0]) == 0.0
    # Ties between an anomaly and a normal record count one half.
    assert roc_auc([True, False], [1.0, 1.0]) == 0.5
    assert roc_auc([True, False, False, True], [2.0, 2.0, 1.0, 5.0]) == 0.875
    assert roc_auc([1, 0, 0], [math.inf, -math.inf, 0.0]) == 1.0


def test_roc_auc_rejects_unusable_input():
    with pytest.raises(ValueError, match="at least one anomaly and one normal"):
        roc_auc([False, False], [1.0, 2.0])
    with pytest.raises(ValueError, match="differ in length"):
        roc_auc([True, False], [1.0])
    with pytest.raises(ValueError, match="NaN"):
        roc_auc([True, False], [math.nan, 1.0])


def test_category_code_is_stable():
    assert category_code("17") == 17
    assert category_code("-5") == -5
    assert category_code("tcp") == category_code("tcp") != category_code("udp")
    # A number outside the signed 64-bit range is text like any other.
    assert -(2**63) <= category_code(str(2**63)) < 2**63
    # Fixed across processes (unlike hash()), so pieces of a stream agree.
    assert category_code("tcp") == int.from_bytes(
        __import__("hashlib").blake2b(b"tcp", digest_size=8).digest(), "little", signed=True)


# --------------------------------------------------------------------------
# demo


def demo_rows(text):
    """The table rows of a demo run: detector name, then the cells right of the stream text."""
    rows = []
    for line in text.splitlines():
        cells = line.split()
        if cells and cells[0] in CLASS_OF.values():
            rows.append([cells[0], *cells[-6:]])
    return rows


def test_demo_prints_the_documented_table():
    result = run_cli("demo")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    header = next(line for line in result.stdout.splitlines() if line.startswith("detector"))
    assert header.split() == ["detector", "stream", "records", "anomalies", "records/s", "ROC-AUC", "precision",
                              "recall"]
    rows = demo_rows(result.stdout)
    assert [r[0] for r in rows] == ["Forest", "OnlineIForest", "MStream", "FeatureSketch"]
    for name, records, anomalies, _, auc, precision, recall in rows:
        assert int(records) >= 4000 and 0 < int(anomalies) < int(records) // 10
        assert 0.9 < float(auc) <= 1.0, name
        # Alerts at rate 0.01: most alerts are injected anomalies for all but the noisy series.
        assert 0.4 < float(precision) <= 1.0 and 0.05 < float(recall) <= 1.0, name
    # Streams and detectors are seeded, so everything but the throughput is
    # reproducible, and the README shows this very table.
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    drop_rate = lambda rs: [r[:3] + r[4:] for r in rs]  # noqa: E731
    assert drop_rate(demo_rows(readme)) == drop_rate(rows)

    subset = run_cli("demo", "--detector", "featuresketch", "--detector", "Forest")
    assert drop_rate(demo_rows(subset.stdout)) == drop_rate([rows[0], rows[3]])
    small = run_cli("demo", "--records", "1000", "--seed", "3", "--detector", "mstream")
    assert small.returncode == 0 and "(seed 3)" in small.stdout and "warm-up of 200" in small.stdout
    assert demo_rows(small.stdout)[0][1] == "1000"
    # Streams too short for a measurable AUC still give a table.
    tiny = run_cli("demo", "--records", "100", "--seed", "3")
    assert tiny.returncode == 0 and [r[1] for r in demo_rows(tiny.stdout)] == ["100"] * 4


# --------------------------------------------------------------------------
# score


@pytest.mark.parametrize("detector", list(CASES))
def test_score_matches_the_detector(tmp_path, detector):
    header, rows, options, make, args_of = CASES[detector]
    path = write_csv(tmp_path / "in.csv", header, rows)
    result = run_cli("score", path, "--detector", detector, *options)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = read_csv(result.stdout)
    assert out[0] == [*header, "score"]
    assert [r[:-1] for r in out[1:]] == rows
    model = make()
    expected = [model.update_and_score(*args_of(r)) for r in rows]
    assert [float(r[-1]) for r in out[1:]] == expected
    assert len(set(expected)) > 10


@pytest.mark.parametrize("detector", list(CASES))
def test_resumed_run_equals_one_run(tmp_path, detector):
    header, rows, options, _, _ = CASES[detector]
    whole = run_cli("score", write_csv(tmp_path / "all.csv", header, rows), "-d", detector, *options)
    assert whole.returncode == 0, whole.stderr

    state = tmp_path / "state.json"
    pieces = []
    # A header-only first piece saves a detector that has seen nothing yet.
    for k, (lo, hi) in enumerate([(0, 0), (0, 37), (37, 38), (38, 120)]):
        piece = write_csv(tmp_path / f"part{k}.csv", header, rows[lo:hi])
        # The same command line each time: with the state present, its saved
        # configuration is used and the options only earn a note.
        result = run_cli("score", piece, "-d", detector, *options, "--state", state, "-o", tmp_path / f"out{k}.csv")
        assert result.returncode == 0, result.stderr
        assert result.stdout == ""
        if k == 0:
            assert result.stderr == ""
        else:
            assert "keeps its saved configuration" in result.stderr and "--seed" in result.stderr
        pieces.append((tmp_path / f"out{k}.csv").read_text(encoding="utf-8"))
    resumed = [s for text in pieces for s in scores_of(text)]
    assert resumed == scores_of(whole.stdout)
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["all.csv", "state.json"] + [f"part{k}.csv" for k in range(4)] + [f"out{k}.csv" for k in range(4)])


def test_malformed_rows_leave_state_and_output_untouched(tmp_path):
    state = tmp_path / "state.json"
    out = tmp_path / "out.csv"
    good = write_csv(tmp_path / "good.csv", ["a", "b"], [["1", "2"], ["2", "3"]])
    assert run_cli("score", good, "--seed", "1", "--state", state, "-o", out).returncode == 0
    saved, written = state.read_bytes(), out.read_bytes()

    cases = [
        ("a,b\n1,2\n2,x\n", "line 3: column 'b': 'x' is not a number"),
        ("a,b\n1,2\n\n3,4,5\n", "line 4: expected 2 fields, got 3"),
        ("a,b\n1,2\n3,\n", "line 3: column 'b': empty value"),
        ("a,b\n1,nan\n", "line 2: column 'b': 'nan' is not a finite number"),
        ('a,b\n1,2\n"3,4\n', "line 3: malformed CSV: unexpected end of data"),
        ("a,b\n1,2\n3,\xff\n", "line 3: not valid UTF-8 text"),
    ]
    for text, message in cases:
        bad = tmp_path / "bad.csv"
        bad.write_bytes(text.encode("latin-1"))
        result = run_cli("score", bad, "--state", state, "-o", out)
        assert result.returncode == 1
        assert result.stderr == f"python -m tarn score: error: {bad}, line {message.partition('line ')[2]}\n"
        assert state.read_bytes() == saved and out.read_bytes() == written
    assert sorted(os.listdir(tmp_path)) == ["bad.csv", "good.csv", "out.csv", "state.json"]


def test_detector_errors_name_the_line(tmp_path):
    path = write_csv(tmp_path / "in.csv", ["t", "x"], [["5", "1.0"], ["7", "1.0"], ["6", "1.0"]])
    result = run_cli("score", path, "-d", "mstream", "--timestamp", "t", "--numeric", "x", "--seed", "1")
    assert result.returncode == 1
    assert result.stderr.endswith(f"{path}, line 4: timestamps must be non-decreasing: previous=7, got=6\n")
    # Rows before the failure were already written to standard output.
    assert len(read_csv(result.stdout)) == 3

    path = write_csv(tmp_path / "ts.csv", ["t", "x"], [["0", "1.0"]])
    result = run_cli("score", path, "-d", "mstream", "--timestamp", "t", "--numeric", "x")
    assert result.stderr.endswith("line 2: column 't': timestamp '0' is not a positive integer\n")


def test_stdin_and_file_give_the_same_output(tmp_path):
    header, rows = ["id", "a", "b"], numeric_rows(30)
    path = write_csv(tmp_path / "in.csv", header, rows)
    from_file = run_cli("score", path, "--numeric", "a,b", "--seed", "3")
    from_stdin = run_cli("score", "--numeric", "a,b", "--seed", "3", stdin=path.read_text())
    assert from_file.returncode == from_stdin.returncode == 0
    assert from_file.stdout == from_stdin.stdout


def test_delimiter_quoting_and_blank_lines(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text('\ufeffname;x\n"a;b";1.5\n\n"say ""hi""";2\n', encoding="utf-8")
    result = run_cli("score", path, "--delimiter", ";", "--numeric", "x", "--seed", "1", "--score-column", "s")
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout), delimiter=";"))
    assert [r[:2] for r in rows] == [["name", "x"], ["a;b", "1.5"], ['say "hi"', "2"]]
    assert rows[0][2] == "s"


def test_no_update_scores_against_the_saved_state(tmp_path):
    header, rows = ["id", "a", "b"], numeric_rows(60)
    state = tmp_path / "state.json"
    train = write_csv(tmp_path / "train.csv", header, rows[:50])
    assert run_cli("score", train, "--numeric", "a,b", "--seed", "2", "--state", state).returncode == 0
    saved = state.read_bytes()
    probe = write_csv(tmp_path / "probe.csv", header, rows[50:])
    result = run_cli("score", probe, "--numeric", "a,b", "--state", state, "--no-update", "--warmup", "0")
    assert result.returncode == 0, result.stderr
    assert state.read_bytes() == saved
    model = tarn.Forest.load_json(state)
    assert scores_of(result.stdout) == [model.score([float(r[1]), float(r[2])]) for r in rows[50:]]
    assert model.entries_seen() == 50


def test_unreadable_state_is_reported_and_kept(tmp_path):
    state = tmp_path / "state.json"
    state.write_text('{"config": 1}')
    path = write_csv(tmp_path / "in.csv", ["a"], [["1"]])
    result = run_cli("score", path, "--state", state)
    assert result.returncode == 1
    assert result.stderr.startswith(f"python -m tarn score: error: cannot restore forest from {state}: invalid forest JSON: ")
    assert state.read_text() == '{"config": 1}'
    # A state of another detector is refused the same way.
    m = tarn.MStream(1, 0, seed=1)
    m.update([1.0], [], 1)
    m.save_json(state)
    result = run_cli("score", path, "--state", state)
    assert result.returncode == 1 and "invalid forest JSON: " in result.stderr


def test_usage_errors():
    cases = [
        (["score", "--window-size", "8"], "--window-size does not apply to --detector forest"),
        (["score", "-d", "mstream", "--numeric", "x"], "--detector mstream needs --timestamp COL"),
        (["score", "-d", "mstream", "--timestamp", "t"], "--detector mstream needs --numeric and/or --categorical"),
        (["score", "-d", "featuresketch", "--tick", "1h"], "--tick does not apply to --detector featuresketch"),
        (["score", "--delimiter", "ab"], "--delimiter must be one character"),
        (["score", "-d", "nonesuch"], "unknown detector 'nonesuch'"),
        (["score", "--capacity", "-1"], "expected an integer in [0, 2**64 - 1], got '-1'"),
        (["score", "--seed", "x"], "expected a non-negative integer, got 'x'"),
        (["score", "--time-decay", "inf"], "expected a finite number, got 'inf'"),
        (["demo", "--records", "99"], "expected at least 100 records"),
        ([], "the following arguments are required: COMMAND"),
    ]
    for args, message in cases:
        result = run_cli(*args, stdin="")
        assert result.returncode == 2, args
        assert message in result.stderr, (args, result.stderr)
        assert result.stderr.startswith("usage: python -m tarn")


def test_input_problems(tmp_path):
    path = write_csv(tmp_path / "in.csv", ["a", "b", "score"], [["1", "2", "3"]])
    result = run_cli("score", path, "--numeric", "c", "--score-column", "s")
    assert result.returncode == 2
    assert result.stderr == "python -m tarn score: error: --numeric: no column 'c' in the header (columns: 'a', 'b', 'score')\n"
    result = run_cli("score", path, "--numeric", "a")
    assert "the header already has a column 'score'; choose another name with --score-column" in result.stderr
    result = run_cli("score", tmp_path / "missing.csv")
    assert result.returncode == 1 and "cannot read" in result.stderr and "No such file" in result.stderr
    result = run_cli("score", stdin="")
    assert result.stderr == "python -m tarn score: error: <stdin>: the input is empty; expected a header row\n"
    result = run_cli("score", path, "--numeric", "a", "--score-column", "s", "--state", tmp_path / "no" / "s.json")
    assert result.returncode == 1 and f"cannot write {tmp_path / 'no' / 's.json'}" in result.stderr
    result = run_cli("score", path, "--numeric", "a,b", "--shingle-size", "3", "--no-internal-shingling",
                     "--score-column", "s")
    assert "2 numeric columns do not split into shingles of 3" in result.stderr
    result = run_cli("score", path, "--numeric", "a", "--capacity", "0", "--score-column", "s")
    assert result.stderr == "python -m tarn score: error: invalid forest configuration: capacity must be > 0\n"


def test_whole_shingles_per_row(tmp_path):
    rows = [[str(i), str(i + 1), str(i % 3), str(i % 2)] for i in range(30)]
    path = write_csv(tmp_path / "in.csv", ["a0", "b0", "a1", "b1"], rows)
    result = run_cli("score", path, "--shingle-size", "2", "--no-internal-shingling", "--seed", "4", "--warmup", "0")
    assert result.returncode == 0, result.stderr
    model = tarn.Forest(2, shingle_size=2, internal_shingling=False, seed=4)
    assert scores_of(result.stdout) == [model.update_and_score([float(c) for c in r]) for r in rows]


def test_progress_bar_only_on_a_terminal(tmp_path):
    path = write_csv(tmp_path / "in.csv", ["a"], [[str(i % 7)] for i in range(300)])
    plain = run_cli("score", path, "--seed", "1")
    assert plain.returncode == 0 and plain.stderr == ""

    controller, terminal = pty.openpty()
    try:
        on_tty = run_cli("score", path, "--seed", "1", stderr=terminal)
        os.close(terminal)
        terminal = -1
        seen = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(controller)
        if terminal >= 0:
            os.close(terminal)
    assert on_tty.returncode == 0
    assert on_tty.stdout == plain.stdout
    assert b"100%" in seen and b"300 rows" in seen
    # Standard input has no size to measure against: no bar, even on a terminal.
    controller, terminal = pty.openpty()
    try:
        piped = run_cli("score", "--seed", "1", stdin=path.read_text(), stderr=terminal)
        os.set_blocking(controller, False)
        try:
            leftover = os.read(controller, 4096)
        except BlockingIOError:
            leftover = b""
    finally:
        os.close(controller)
        os.close(terminal)
    assert piped.returncode == 0 and leftover == b""
