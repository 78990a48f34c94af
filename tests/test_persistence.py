"""Forest state texts, state files, copying and pickling."""

import copy
import json
import os
import pickle
import random
import re
import stat
import struct
import subprocess
import sys

import pytest

import tarn

NONE = 2**64 - 1
PREFIX = "invalid forest JSON: "


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def feed(forest, n, dim, seed=1, scale=10.0):
    rng = random.Random(seed)
    for i in range(n):
        if i % 9 == 0:
            point = [1.0] * dim  # repeated point: duplicate leaves
        else:
            point = [rng.uniform(-scale, scale) for _ in range(dim)]
        forest.update(point)
    return rng


def trained(**kw):
    """A small forest that has evicted samples and reused slots."""
    args = dict(input_dim=2, num_trees=3, capacity=8, seed=5)
    args.update(kw)
    f = tarn.Forest(**args)
    dim = args["input_dim"] if args.get("internal_shingling", True) else args["input_dim"] * args.get("shingle_size", 1)
    feed(f, 300, dim)
    return f, dim


def assert_same_future(a, b, dim, n=60, seed=99):
    rng = random.Random(seed)
    for _ in range(n):
        p = [rng.uniform(-12, 12) for _ in range(dim)]
        assert a.score(p) == b.score(p)
        assert a.update_and_score(p) == b.update_and_score(p)
    assert a.entries_seen() == b.entries_seen()
    assert a.to_json() == b.to_json()


def rejected(text, fragment=None):
    with pytest.raises(ValueError) as e:
        tarn.Forest.from_json(text)
    msg = str(e.value)
    assert msg.startswith(PREFIX), msg
    if fragment is not None:
        assert fragment in msg, msg
    return msg


def parse_error(text):
    """The reader's message and its position."""
    msg = rejected(text)
    m = re.fullmatch(re.escape(PREFIX) + r"(.*) at line (\d+) column (\d+)", msg)
    assert m, msg
    return m.group(1), int(m.group(2)), int(m.group(3))


# ------------------------------------------------------------------ layout


def test_fresh_forest_text_is_exact():
    f = tarn.Forest(2, num_trees=1, capacity=2, seed=0)
    tree_rng = [0x5629CCB154F179BA, 0x4F71682A4B1921F3, 0x3909549D1A9A9EA8, 0x2ECD0A6CE8B2621C]
    forest_rng = [0x59D7BBDA739F5447, 0xF0429382267C6FF1, 0x3F357722BAFA5135, 0x61ADB30D6BA90125]
    s = lambda words: '{"s":[' + ",".join(map(str, words)) + "]}"
    expected = (
        '{"config":{"input_dim":2,"shingle_size":1,"capacity":2,"num_trees":1,"time_decay":0.0,'
        '"output_after":0,"internal_shingling":true,"initial_accept_fraction":0.125},'
        '"trees":[{"root":18446744073709551615,"tree_mass":0,"arena":{"nodes":[],"free":[]},'
        '"rng":' + s(tree_rng) + ',"dims":2}],'
        '"samplers":[{"capacity":2,"weights":[0.0,0.0],'
        '"point_indices":[18446744073709551615,18446744073709551615],"size":0}],'
        '"point_store":{"dim":2,"input_dim":2,"shingle_size":1,"internal_shingling":true,'
        '"store":{"v":1,"dim":[4,2],"data":[0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]},'
        '"occupied":[false,false,false,false],"ref_count":[0,0,0,0],"next_free":0,"free_list":[],'
        '"size":0,"capacity":4,"shingle_buf":[0.0,0.0],"entries_seen":0},'
        '"entries_seen":0,"rng":' + s(forest_rng) + "}"
    )
    assert f.to_json() == expected
    assert f.__getstate__() == expected


def test_member_order_and_node_forms_after_updates():
    f, _ = trained()
    doc = json.loads(f.to_json())
    assert list(doc) == ["config", "trees", "samplers", "point_store", "entries_seen", "rng"]
    tree = doc["trees"][0]
    assert list(tree) == ["root", "tree_mass", "arena", "rng", "dims"]
    nodes = tree["arena"]["nodes"]
    kinds = {next(iter(n)) for n in nodes if n is not None}
    assert kinds == {"Leaf", "Internal"}
    leaf = next(n["Leaf"] for n in nodes if n and "Leaf" in n)
    internal = next(n["Internal"] for n in nodes if n and "Internal" in n)
    assert list(leaf) == ["point_idx", "mass"]
    assert list(internal) == ["left", "right", "cut_dim", "cut_val", "mass", "bbox"]
    assert list(internal["bbox"]) == ["min", "max", "range_sum"]
    # Freed slots are null and listed in free; sampler entries are full.
    free = tree["arena"]["free"]
    assert all(nodes[i] is None for i in free)
    assert sum(n is None for n in nodes) == len(free)
    assert doc["samplers"][0]["size"] == 8
    assert list(doc["point_store"]) == [
        "dim", "input_dim", "shingle_size", "internal_shingling", "store", "occupied", "ref_count",
        "next_free", "free_list", "size", "capacity", "shingle_buf", "entries_seen",
    ]
    assert list(doc["point_store"]["store"]) == ["v", "dim", "data"]
    assert doc["point_store"]["free_list"], "slots were released"


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1.0"), (0.125, "0.125"), (0.00001, "0.00001"), (1e15, "1000000000000000.0"),
        (1e-6, "1e-6"), (1.5e16, "1.5e+16"), (1e16, "1e+16"), (-0.0, "-0.0"), (0.1, "0.1"),
        (2.5e-300, "2.5e-300"), (123456.789, "123456.789"), (5e-324, "5e-324"),
    ],
)
def test_double_layout(value, text):
    f = tarn.Forest(1, num_trees=1, capacity=1, time_decay=value)
    assert '"time_decay":' + text + "," in f.to_json()


def test_float32_layout_via_the_shingle_buffer():
    values = [0.1, 1e12, 1e13, 1e-6, 1e-7, 3.4028234663852886e38, -0.0, 16777216.0, 123456784.0, 1.5e-7, 2.0**-149, 7.0]
    texts = ["0.1", "1000000000000.0", "1e+13", "0.000001", "1e-7", "3.4028235e+38", "-0.0", "16777216.0",
             "123456780.0", "1.5e-7", "1e-45", "7.0"]
    f = tarn.Forest(len(values), num_trees=1, capacity=1, seed=1)
    f.update(values)
    doc_text = f.to_json()
    assert '"shingle_buf":[' + ",".join(texts) + "]" in doc_text
    # Every text reads back to the same 32-bit value.
    assert [f32(float(t)) for t in texts] == [f32(v) for v in values]
    assert tarn.Forest.from_json(doc_text).to_json() == doc_text


# ------------------------------------------------------------- round trips


@pytest.mark.parametrize(
    "kw",
    [
        dict(),
        dict(shingle_size=3),
        dict(shingle_size=2, internal_shingling=False),
        dict(input_dim=3, num_trees=2, capacity=4, time_decay=0.01, output_after=5, initial_accept_fraction=1.0),
    ],
)
def test_round_trip_is_byte_identical_and_continues_identically(kw):
    f, dim = trained(**kw)
    text = f.to_json()
    g = tarn.Forest.from_json(text)
    assert g.to_json() == text
    assert repr(g) == repr(f)
    assert g.is_ready() == f.is_ready()
    assert_same_future(f, g, dim)


def test_bytes_and_bytearray_are_read_as_text():
    f, dim = trained()
    text = f.to_json()
    assert tarn.Forest.from_json(text.encode()).to_json() == text
    assert tarn.Forest.from_json(bytearray(text.encode())).to_json() == text
    with pytest.raises(TypeError, match=r"^argument 'json': "):
        tarn.Forest.from_json(12)
    with pytest.raises(ValueError, match="^" + re.escape(PREFIX)):
        tarn.Forest.from_json(b"\xff\xfe")


def test_infinite_range_sum_round_trips():
    # Finite coordinates whose ranges overflow 32 bits give an infinite
    # range_sum, written as null; it must read back.
    f = tarn.Forest(2, num_trees=2, capacity=4, seed=3)
    for p in ([3e38, -3e38], [-3e38, 3e38], [0.0, 1.0], [1.0, 0.0], [2.0, 2.0]):
        f.update(p)
    text = f.to_json()
    assert '"range_sum":null' in text
    g = tarn.Forest.from_json(text)
    assert g.to_json() == text
    assert_same_future(f, g, 2, n=10)
    # null stays refused everywhere else.
    assert parse_error(text.replace('"tree_mass":', '"tree_mass":null,"x":', 1))[0] == "invalid type: null, expected u64"


# ------------------------------------------------------- reader tolerance


def rebuild(value, f):
    """Applies f to every JSON object, bottom-up."""
    if isinstance(value, list):
        return [rebuild(v, f) for v in value]
    if isinstance(value, dict):
        return f({k: rebuild(v, f) for k, v in value.items()})
    return value


def is_variant(d):
    return len(d) == 1 and next(iter(d)) in ("Leaf", "Internal")


def is_ndarray(d):
    return list(d) == ["v", "dim", "data"]


def test_reordered_spaced_and_extra_members_read_back_the_same():
    f, _ = trained(shingle_size=2)
    text = f.to_json()
    doc = json.loads(text)

    def shuffle_and_extend(d):
        if is_variant(d):
            return d
        items = list(d.items())
        random.Random(len(items)).shuffle(items)
        if not is_ndarray(d):
            items.insert(1, ("zz_unknown", {"nested": [1, {"deep": [None, True, "x\u00e9\\\""]}], "n": -1.5e300}))
        return dict(items)

    variant = json.dumps(rebuild(doc, shuffle_and_extend), indent=1)
    assert "\n" in variant and "zz_unknown" in variant
    assert tarn.Forest.from_json(variant).to_json() == text
    assert tarn.Forest.from_json(" \t\r\n" + text + "\n\t ").to_json() == text


def test_records_and_arrays_given_as_json_arrays():
    f, _ = trained()
    text = f.to_json()

    def to_arrays(d):
        if is_variant(d):
            return d
        return list(d.values())

    arrays = json.dumps(rebuild(json.loads(text), to_arrays), separators=(",", ":"))
    assert arrays.startswith("[[")
    assert tarn.Forest.from_json(arrays).to_json() == text


# --------------------------------------------------------------- reader errors


def fresh_text():
    return tarn.Forest(2, num_trees=1, capacity=2, seed=0).to_json()


def test_duplicate_and_missing_members():
    text = fresh_text()
    dup = text.replace('"tree_mass":0', '"tree_mass":0,"tree_mass":0')
    where = dup.index('"tree_mass":0,"tree_mass"') + len('"tree_mass":0,"tree_mass":')
    assert parse_error(dup) == ("duplicate field `tree_mass`", 1, where)

    no_samplers = json.loads(text)
    del no_samplers["samplers"]
    missing = json.dumps(no_samplers, separators=(",", ":"))
    assert parse_error(missing) == ("missing field `samplers`", 1, len(missing))

    rng_missing = text.replace('"rng":{"s":', '"rng":{"t":', 1)
    assert parse_error(rng_missing)[0] == "missing field `s`"


@pytest.mark.parametrize(
    "old, new, message",
    [
        ('"tree_mass":0', '"tree_mass":"0"', 'invalid type: string "0", expected u64'),
        ('"tree_mass":0', '"tree_mass":1.5', "invalid type: floating point `1.5`, expected u64"),
        ('"tree_mass":0', '"tree_mass":1e3', "invalid type: floating point `1e3`, expected u64"),
        ('"tree_mass":0', '"tree_mass":-1', "invalid value: integer `-1`, expected u64"),
        ('"tree_mass":0', '"tree_mass":18446744073709551616', "invalid value: integer `18446744073709551616`, expected u64"),
        ('"internal_shingling":true', '"internal_shingling":1', "invalid type: integer `1`, expected a boolean"),
        ('"weights":[0.0,0.0]', '"weights":[0.0,null]', "invalid type: null, expected f64"),
        ('"weights":[0.0,0.0]', '"weights":{"a":1}', "invalid type: map, expected a sequence"),
        ('"shingle_buf":[0.0,0.0]', '"shingle_buf":[0.0,1e39]', "number out of range"),
        ('"config":{', '"config":[1],"x":{', "invalid length 1, expected struct RcfConfig with 8 elements"),
        ('"trees":[{"root"', '"trees":[[1,0,[[],[]],[[1,2,3,4]]],{"root"', "invalid length 4, expected struct RcfTree with 5 elements"),
        ('"rng":{"s":[', '"rng":[[1,2,3,4],5],"x":{"s":[', "invalid length 2, expected struct Xoshiro256PlusPlus with 1 element"),
        ('"rng":{"s":[', '"rng":{"s":[1,2,3]},"x":{"s":[', "invalid length 3, expected an array of length 4"),
        ('"trees":[', '"trees":7,"x":[', "invalid type: integer `7`, expected a sequence"),
        ('"config":{', '"config":true,"x":{', "invalid type: boolean `true`, expected struct RcfConfig"),
        ('"nodes":[]', '"nodes":[{"Leaves":{}}]', "unknown variant `Leaves`, expected one of `Leaf`, `Internal`"),
        ('"nodes":[]', '"nodes":[{"Leaf":{"point_idx":0,"mass":1},"Internal":{}}]', "expected `}`"),
        ('"nodes":[]', '"nodes":[5]', "invalid type: integer `5`, expected enum Node"),
        ('"nodes":[]', '"nodes":[{"Leaf":[0]}]', "invalid length 1, expected struct variant Node::Leaf with 2 elements"),
    ],
)
def test_invalid_values(old, new, message):
    text = fresh_text()
    assert old in text
    assert parse_error(text.replace(old, new, 1))[0] == message


STORE = '"store":{"v":1,"dim":[4,2],"data":[0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]}'


@pytest.mark.parametrize(
    "store, message",
    [
        ('{"v":2,"dim":[4,2],"data":[0,0,0,0,0,0,0,0]}', "unknown array version: 2"),
        ('{"v":1,"dim":[4,3],"data":[0,0,0,0,0,0,0,0]}', "data and dimension must match in size"),
        ('{"v":1,"dim":[4,2],"data":[0,0,0,0,0,0,0]}', "data and dimension must match in size"),
        ('{"v":1,"dim":[18446744073709551615,2],"data":[0,0]}', "data and dimension must match in size"),
        ('{"v":1,"dim":[8],"data":[0,0,0,0,0,0,0,0]}', "invalid length 1, expected an array of length 2"),
        ('{"v":1,"dim":[4,2],"data":[0,0,0,0,0,0,0,0],"x":1}', "unknown field `x`, expected one of `v`, `dim`, `data`"),
        ('{"v":1,"v":1,"dim":[4,2],"data":[0,0,0,0,0,0,0,0]}', "duplicate field `v`"),
        ('{"dim":[4,2],"data":[0,0,0,0,0,0,0,0]}', "missing field `v`"),
        ('{"v":1,"data":[0,0,0,0,0,0,0,0]}', "missing field `dim`"),
        ('"a"', 'invalid type: string "a", expected ndarray representation'),
        ("[1,[4,2]]", "invalid length 2, expected ndarray representation"),
    ],
)
def test_array_form_checks(store, message):
    text = fresh_text()
    assert STORE in text
    assert parse_error(text.replace(STORE, '"store":' + store))[0] == message


def test_array_form_as_a_json_array_and_integer_literals_for_floats():
    text = fresh_text()
    other = text.replace(STORE, '"store":[1,[4,2],[0,0,0,0,0,0,0,0]]')
    assert tarn.Forest.from_json(other).to_json() == text


def test_nesting_limit_trailing_characters_and_positions():
    text = fresh_text()
    deep = lambda k: text[:-1] + ',"x":' + "[" * k + "]" * k + "}"
    assert tarn.Forest.from_json(deep(127)).to_json() == text  # 128 levels with the top object
    msg, line, col = parse_error(deep(128))
    assert msg == "recursion limit exceeded" and line == 1 and col == len(text) + 4 + 128

    assert parse_error(text + " x") == ("trailing characters", 1, len(text) + 2)
    assert parse_error(text + "{}")[0] == "trailing characters"
    assert parse_error("")[0] == "EOF while parsing a value"
    assert parse_error(text[:-1])[0] == "EOF while parsing an object"
    assert parse_error('{"config":{"input_dim":01}}')[0] == "expected `,` or `}`"
    assert parse_error('{"config" 1}') == ("expected `:`", 1, 11)
    assert parse_error('{"x":{},}')[0] == "trailing comma"
    assert parse_error('{"a":"\x01"}')[0] == "control character (\\u0000-\\u001F) found while parsing a string"
    assert parse_error('{"a":"\\q"}')[0] == "invalid escape"

    pretty = json.dumps(json.loads(text), indent=2).replace('"size": 0', '"size": -0.5', 1)
    lines = pretty.split("\n")
    row = next(i for i, ln in enumerate(lines) if "-0.5" in ln)
    assert parse_error(pretty) == (
        "invalid type: floating point `-0.5`, expected u64", row + 1, lines[row].index("-0.5") + 4
    )


# ------------------------------------------------------------------- files


def test_save_and_load(tmp_path):
    f, dim = trained()
    path = tmp_path / "forest.json"
    assert f.save_json(str(path)) is None
    assert path.read_text() == f.to_json()
    g = tarn.Forest.load_json(path)  # a path-like object works too
    assert_same_future(f, g, dim, n=20)
    f.save_json(path)  # replaces the file
    assert path.read_bytes() == f.to_json().encode()
    assert sorted(os.listdir(tmp_path)) == ["forest.json"]  # no temporary file left behind


def test_new_files_get_0666_less_umask_and_existing_files_keep_their_mode(tmp_path):
    f = tarn.Forest(1, num_trees=1, capacity=1, seed=0)
    old = os.umask(0o027)
    try:
        f.save_json(tmp_path / "new.json")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.json").st_mode) == 0o640
    kept = tmp_path / "kept.json"
    kept.write_text("old")
    os.chmod(kept, 0o604)
    f.save_json(kept)
    assert stat.S_IMODE(os.stat(kept).st_mode) == 0o604
    assert kept.read_text() == f.to_json()


def test_save_through_a_symlink_replaces_the_target(tmp_path):
    f = tarn.Forest(1, num_trees=1, capacity=1, seed=0)
    target = tmp_path / "real.json"
    target.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(target)
    f.save_json(link)
    assert link.is_symlink()
    assert target.read_text() == f.to_json()


def test_failed_saves_keep_the_previous_file(tmp_path):
    f = tarn.Forest(1, num_trees=1, capacity=1, seed=0)
    with pytest.raises(RuntimeError, match=r"^I/O error: No such file or directory"):
        f.save_json(tmp_path / "missing" / "forest.json")
    assert not (tmp_path / "missing").exists()
    with pytest.raises(RuntimeError, match=r"^I/O error: Is a directory"):
        f.save_json(tmp_path)


def test_a_save_that_fails_mid_write_keeps_the_previous_file(tmp_path):
    # A file-size limit makes the write itself fail part-way (as a full disk
    # would); run it in a child process so the limit touches nothing else.
    good = tmp_path / "forest.json"
    good.write_text("the only good state")
    script = (
        "import resource, signal, sys, tarn\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "f = tarn.Forest(4, num_trees=4, capacity=64, seed=1)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))\n"
        "try:\n"
        "    f.save_json(sys.argv[1])\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", script, str(good)], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.startswith("I/O error: File too large"), out.stdout + out.stderr
    assert good.read_text() == "the only good state"
    assert os.listdir(tmp_path) == ["forest.json"]


def test_saving_into_a_directory_without_write_permission(tmp_path):
    f = tarn.Forest(1, num_trees=1, capacity=1, seed=0)
    if os.geteuid() == 0:
        pytest.skip("permission checks do not apply to root")
    locked = tmp_path / "locked"
    locked.mkdir()
    good = locked / "forest.json"
    good.write_text("the only good state")
    os.chmod(good, 0o666)
    os.chmod(locked, 0o555)
    try:
        with pytest.raises(RuntimeError, match=r"^I/O error: Permission denied"):
            f.save_json(good)
        assert good.read_text() == "the only good state"
        assert os.listdir(locked) == ["forest.json"]
    finally:
        os.chmod(locked, 0o755)


def test_load_errors(tmp_path):
    with pytest.raises(RuntimeError, match=r"^I/O error: No such file or directory"):
        tarn.Forest.load_json(tmp_path / "nope.json")
    with pytest.raises(RuntimeError, match=r"^I/O error: "):
        tarn.Forest.load_json(tmp_path)
    with pytest.raises(RuntimeError, match=r"^I/O error: file name contained an unexpected NUL byte"):
        tarn.Forest.load_json(str(tmp_path / "a\0b"))
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        tarn.Forest.load_json(b"/tmp/x")
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        tarn.Forest(1).save_json(3)
    bad = tmp_path / "bad.json"
    bad.write_bytes(b'{"config":\xff}')
    with pytest.raises(ValueError, match="^" + re.escape(PREFIX) + "expected value at line 1 column 11"):
        tarn.Forest.load_json(bad)


# ------------------------------------------------------ copy, deepcopy, pickle


def test_copy_and_deepcopy_are_independent():
    f, dim = trained()
    before = f.to_json()
    for dup in (copy.copy(f), copy.deepcopy(f), f.__deepcopy__(object()), f.__copy__()):
        assert type(dup) is tarn.Forest and dup is not f
        assert dup.to_json() == before
        feed(dup, 20, dim, seed=7)
        assert f.to_json() == before
        assert f.entries_seen() == 300
    with pytest.raises(TypeError):
        f.__deepcopy__()
    a, b = copy.deepcopy(f), copy.copy(f)
    assert_same_future(a, b, dim, n=20)


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_pickle_continues_bit_identically(protocol):
    f, dim = trained(shingle_size=2)
    assert f.__getnewargs__() == (2,)
    g = pickle.loads(pickle.dumps(f, protocol=protocol))
    assert g.to_json() == f.to_json()
    assert_same_future(f, g, dim, n=20)


def test_setstate_replaces_everything_or_nothing():
    f, dim = trained()
    other = tarn.Forest(5, shingle_size=2, num_trees=2, capacity=4, seed=1)
    text = f.to_json()
    with pytest.raises(ValueError, match="^" + re.escape(PREFIX)):
        f.__setstate__(text[:-1])
    with pytest.raises(ValueError, match="^" + re.escape(PREFIX)):
        f.__setstate__(text.replace('"size":8', '"size":9', 1))
    with pytest.raises(TypeError, match=r"^argument 'state': "):
        f.__setstate__(text.encode())
    assert f.to_json() == text
    feed(f, 3, dim)  # still usable
    f.__setstate__(other.to_json())
    assert repr(f) == repr(other)
    assert f.to_json() == other.to_json()


def test_docstrings_and_signatures():
    F = tarn.Forest
    assert F.to_json.__doc__ == "Serialize the entire forest state to a JSON string."
    assert F.from_json.__doc__ == "Deserialize a forest from a JSON string previously written by `to_json()`."
    assert F.save_json.__doc__ == "Serialize the entire forest state to a JSON file."
    assert F.load_json.__doc__ == "Deserialize a forest from a JSON file previously written by `save_json()`."
    assert F.from_json.__text_signature__ == "(json)"
    assert F.save_json.__text_signature__ == "($self, path)"
    assert F.__deepcopy__.__text_signature__ == "($self, memo)"
    assert F.__setstate__.__text_signature__ == "($self, state)"
    assert F.__copy__.__doc__ is None


# ----------------------------------------------------------- hostile states


def small_state():
    f = tarn.Forest(2, num_trees=2, capacity=4, seed=11)
    feed(f, 40, 2)
    return f, json.loads(f.to_json())


def dumps(doc):
    return json.dumps(doc, separators=(",", ":"))


def live(tree, kind):
    return [i for i, n in enumerate(tree["arena"]["nodes"]) if n and kind in n]


def corruptions():
    """(name, mutate(doc)) pairs, each making a well-formed but unsafe state."""

    def tree0(d):
        return d["trees"][0]

    def nodes0(d):
        return tree0(d)["arena"]["nodes"]

    def first_internal(d):
        return nodes0(d)[live(tree0(d), "Internal")[0]]["Internal"]

    def first_leaf(d):
        return nodes0(d)[live(tree0(d), "Leaf")[0]]["Leaf"]

    def cycle(d):
        t = tree0(d)
        b_idx = next(i for i in live(t, "Internal") if i != t["root"])
        t["arena"]["nodes"][b_idx]["Internal"]["left"] = t["root"]

    def free_slot_leaf(d):
        ps = d["point_store"]
        free = next(i for i, o in enumerate(ps["occupied"]) if not o)
        first_leaf(d)["point_idx"] = free

    def live_in_free(d):
        tree0(d)["arena"]["free"].append(live(tree0(d), "Leaf")[0])

    def shared_child(d):
        n = first_internal(d)
        n["right"] = n["left"]

    def empty_slot(d):
        t = tree0(d)
        t["arena"]["nodes"].append(None)
        t["arena"]["free"].append(len(t["arena"]["nodes"]) - 1)
        return len(t["arena"]["nodes"]) - 1

    def null_child(d):
        first_internal(d)["left"] = empty_slot(d)

    def root_on_free(d):
        tree0(d)["root"] = empty_slot(d)

    def set_(path, value):
        def go(d):
            obj = d
            for key in path[:-1]:
                obj = obj[key]
            obj[path[-1]] = value

        return go

    return [
        ("root out of range", set_(["trees", 0, "root"], 10**6)),
        ("root on a free slot", root_on_free),
        ("child out of range", lambda d: first_internal(d).__setitem__("left", 999)),
        ("child is none", lambda d: first_internal(d).__setitem__("right", NONE)),
        ("cycle between two nodes", cycle),
        ("shared child", shared_child),
        ("child is an empty slot", null_child),
        ("leaf on a free store slot", free_slot_leaf),
        ("leaf beyond the store", lambda d: first_leaf(d).__setitem__("point_idx", 10**9)),
        ("leaf mass 0", lambda d: first_leaf(d).__setitem__("mass", 0)),
        ("cut_dim out of range", lambda d: first_internal(d).__setitem__("cut_dim", 2)),
        ("internal mass off", lambda d: first_internal(d).__setitem__("mass", first_internal(d)["mass"] + 1)),
        ("bbox too short", lambda d: first_internal(d)["bbox"]["min"].pop()),
        ("bbox not the union", lambda d: first_internal(d)["bbox"]["max"].__setitem__(0, 1e30)),
        ("range_sum off", lambda d: first_internal(d)["bbox"].__setitem__("range_sum", 1234.5)),
        ("cut does not separate", lambda d: first_internal(d).__setitem__("cut_val", -1e30)),
        ("live node in free", live_in_free),
        ("free beyond slots", lambda d: tree0(d)["arena"]["free"].append(10**6)),
        ("tree_mass off", lambda d: tree0(d).__setitem__("tree_mass", 3)),
        ("tree dims off", set_(["trees", 1, "dims"], 3)),
        ("arena too long", lambda d: tree0(d)["arena"]["nodes"].extend([None] * 20)),
        ("missing tree", lambda d: (d["trees"].pop(), d["samplers"].pop())),
        ("extra sampler", lambda d: d["samplers"].append(d["samplers"][0])),
        ("sampler size beyond capacity", set_(["samplers", 0, "size"], 5)),
        ("sampler entry on a free slot", lambda d: d["samplers"][0]["point_indices"].__setitem__(0, NONE)),
        ("weights truncated", lambda d: d["samplers"][1]["weights"].pop()),
        ("weights out of heap order", lambda d: d["samplers"][0]["weights"].__setitem__(3, 1e9)),
        ("sampler capacity off", set_(["samplers", 0, "capacity"], 5)),
        ("occupied truncated", lambda d: d["point_store"]["occupied"].pop()),
        ("ref_count off", lambda d: d["point_store"]["ref_count"].__setitem__(d["samplers"][0]["point_indices"][0], 99)),
        ("store shape off", lambda d: d["point_store"]["store"].__setitem__("dim", [d["point_store"]["capacity"] * 2, 1])),
        ("store capacity below the forest's", lambda d: d["point_store"].update(capacity=2, occupied=d["point_store"]["occupied"][:2], ref_count=d["point_store"]["ref_count"][:2], store={"v": 1, "dim": [2, 2], "data": [0] * 4})),
        ("next_free beyond capacity", lambda d: d["point_store"].__setitem__("next_free", 10**6)),
        ("free_list on an occupied slot", lambda d: d["point_store"]["free_list"].append(d["samplers"][0]["point_indices"][0])),
        ("free_list duplicate", lambda d: d["point_store"]["free_list"].extend(d["point_store"]["free_list"][:1] or [0])),
        ("store size off", lambda d: d["point_store"].__setitem__("size", 0)),
        ("shingle_buf short", lambda d: d["point_store"]["shingle_buf"].pop()),
        ("store dim off", set_(["point_store", "dim"], 3)),
        ("huge input_dim", lambda d: (d["config"].__setitem__("input_dim", 2**40), d["point_store"].__setitem__("input_dim", 2**40))),
        ("dims overflow", set_(["config", "shingle_size"], 2**63)),
        ("capacity 0", set_(["config", "capacity"], 0)),
        ("num_trees 0", set_(["config", "num_trees"], 0)),
        ("negative decay", set_(["config", "time_decay"], -1.0)),
        ("fraction above 1", set_(["config", "initial_accept_fraction"], 1.5)),
        ("huge capacity", set_(["config", "capacity"], 2**62)),
    ]


@pytest.mark.parametrize("name, mutate", corruptions(), ids=[c[0] for c in corruptions()])
def test_inconsistent_states_are_rejected(name, mutate):
    f, doc = small_state()
    assert tarn.Forest.from_json(dumps(doc)).to_json() == f.to_json()
    mutate(doc)
    msg = rejected(dumps(doc))
    assert " at line " not in msg  # found by the checks after parsing


def test_wrong_types_at_every_level_are_rejected():
    _, doc = small_state()
    paths = []

    def walk(value, path):
        paths.append(path)
        if isinstance(value, dict):
            for k, v in value.items():
                walk(v, path + [k])
        elif isinstance(value, list):
            for i, v in enumerate(value[:2]):
                walk(v, path + [i])

    walk(doc, [])
    checked = 0
    for path in paths:
        for replacement in ("text", {"a": 1}):
            d = json.loads(dumps(doc))
            if not path:
                d = replacement
            else:
                obj = d
                for key in path[:-1]:
                    obj = obj[key]
                obj[path[-1]] = replacement
            text = dumps(d)
            with pytest.raises(ValueError) as e:
                tarn.Forest.from_json(text)
            assert str(e.value).startswith(PREFIX)
            checked += 1
    assert checked > 200


def test_random_mutations_never_crash():
    f, _ = small_state()
    text = f.to_json()
    rng = random.Random(2024)
    tokens = ["0", "1", "-1", "18446744073709551615", "null", "[]", "{}", '"x"', "1e400", "0.5", ",", ":", "[", "}", "true"]
    numbers = [m.span() for m in re.finditer(r"-?\d+(\.\d+)?(e[+-]?\d+)?", text)]
    accepted = 0
    for i in range(3000):
        t = text
        for _ in range(rng.randint(1, 3)):
            kind = rng.randrange(5)
            if kind == 0:  # replace one number
                a, b = numbers[rng.randrange(len(numbers))]
                t = text[:a] + rng.choice(["0", "1", "2", "3", "7", "-1", "4294967296", "18446744073709551615", "0.25", "1e30"]) + text[b:]
            elif kind == 1:  # delete a span
                a = rng.randrange(len(t))
                t = t[:a] + t[a + rng.randint(1, 12):]
            elif kind == 2:  # duplicate a span
                a = rng.randrange(len(t))
                b = a + rng.randint(1, 40)
                t = t[:b] + t[a:b] + t[b:]
            elif kind == 3:  # insert a token
                a = rng.randrange(len(t))
                t = t[:a] + rng.choice(tokens) + t[a:]
            else:  # change one character
                a = rng.randrange(len(t))
                t = t[:a] + chr(rng.randrange(32, 127)) + t[a + 1:]
        try:
            g = tarn.Forest.from_json(t)
        except ValueError as e:
            assert str(e).startswith(PREFIX)
            continue
        accepted += 1
        # Whatever was accepted must be safe to use.
        for p in ([0.5, -0.5], [3.0, 3.0], [1.0, 1.0]):
            g.score(p)
            g.update(p)
        g.to_json()
    assert accepted > 0


@pytest.mark.parametrize(
    "member, message",
    [
        ('"\\ud83d\\ude00\\u00e9\\n\\/":1', None),
        ('"\\u0063onfig_x":1', None),
        ('"\\ud83d":1', "lone leading surrogate in hex escape"),
        ('"\\ud83d\\u0041":1', "lone leading surrogate in hex escape"),
        ('"\\ude00":1', "lone trailing surrogate in hex escape"),
        ('"\\u12g4":1', "invalid escape"),
        ('"a":"\xed\xa0\x80"', "invalid unicode code point"),
        ('"a":"\xc3"', "invalid unicode code point"),
        ('"a":"\xf4\x90\x80\x80"', "invalid unicode code point"),
    ],
)
def test_strings_in_unknown_members(member, message):
    text = fresh_text()
    data = (text[:-1] + "," + member + "}").encode("latin-1")
    if message is None:
        assert tarn.Forest.from_json(data).to_json() == text
    else:
        assert parse_error(data)[0] == message


def test_escaped_member_names_match():
    text = fresh_text()
    escaped = text.replace('"entries_seen":0,"rng"', '"entries\\u005fseen":0,"rng"')
    assert escaped != text
    assert tarn.Forest.from_json(escaped).to_json() == text
