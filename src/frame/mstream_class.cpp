// The MStream class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/persistence.hpp"
#include "mstream/detector.hpp"

namespace tarn::frame {

template <>
struct StateFormat<mstream::MStream> {
    static core::Result<std::string> write(const mstream::MStream& m) { return m.to_json(); }
    static core::Result<std::string> write_bytes(const mstream::MStream& m) { return m.to_bytes(); }
    static core::Result<mstream::MStream> read_bytes(std::string_view data) { return mstream::MStream::from_bytes(data); }
    static core::Result<mstream::MStream> read(std::string_view text) { return mstream::MStream::from_json(text); }
    static PyObject* newargs(const mstream::MStream& m) {
        Ref numeric_dim(to_py(m.config.numeric_dim));
        Ref categorical_dim(to_py(m.config.categorical_dim));
        return check(PyTuple_Pack(2, numeric_dim.get(), categorical_dim.get()));
    }
};

template <>
struct Batch<mstream::MStream> {
    using MStream = mstream::MStream;
    static constexpr std::array params{"numeric", "categorical", "timestamps"};
    struct Input {
        std::optional<Rows<double>> numeric; // absent: None where numeric_dim is 0
        std::optional<Rows<std::int64_t>> categorical;
        std::vector<std::uint64_t> timestamps;

        std::span<const double> numeric_row(std::size_t i) const {
            return numeric ? (*numeric)[i] : std::span<const double>();
        }
        std::span<const std::int64_t> categorical_row(std::size_t i) const {
            return categorical ? (*categorical)[i] : std::span<const std::int64_t>();
        }
    };

    static Input convert(const Bound& a, const MStream& m) {
        Input in;
        if (!(a[0] == Py_None && m.config.numeric_dim == 0)) in.numeric = a.convert(0, to_numeric_rows);
        if (!(a[1] == Py_None && m.config.categorical_dim == 0)) in.categorical = a.convert(1, to_categorical_rows);
        in.timestamps = a.convert(2, to_timestamps);
        const auto same_length = [&](const char* name, std::size_t rows) {
            if (rows == in.timestamps.size()) return;
            const std::string text = std::string(name) + " has " + std::to_string(rows) +
                                     " rows but timestamps has " + std::to_string(in.timestamps.size());
            PyErr_SetString(PyExc_ValueError, text.c_str());
            throw PyErrorSet{};
        };
        if (in.numeric) same_length("numeric", in.numeric->size());
        if (in.categorical) same_length("categorical", in.categorical->size());
        return in;
    }
    static std::size_t size(const Input& in) { return in.timestamps.size(); }
    // Timestamps continue from the detector's clock, row after row.
    static RowStatus check_updates(const MStream& m, const Input& in) {
        mstream::StreamClock clock = m.clock;
        return each_row(size(in), [&](std::size_t i) {
            return m.check_update(in.numeric_row(i), in.categorical_row(i), in.timestamps[i], clock);
        });
    }
    static core::Status update(MStream& m, const Input& in, std::size_t i) {
        return m.update(in.numeric_row(i), in.categorical_row(i), in.timestamps[i]);
    }
    static core::Result<double> score(const MStream& m, const Input& in, std::size_t i) {
        return m.score(in.numeric_row(i), in.categorical_row(i), in.timestamps[i]);
    }
    static core::Result<double> update_and_score(MStream& m, const Input& in, std::size_t i) {
        return m.update_and_score(in.numeric_row(i), in.categorical_row(i), in.timestamps[i]);
    }
};

namespace {

using mstream::MStream;
using MStreamCall = Call<MStream>;

std::string mstream_repr(const MStream& m) { return m.repr(); }

// The converted arguments of a record method.
struct RecordArgs {
    std::vector<double> numeric;
    std::vector<std::int64_t> categorical;
    std::uint64_t timestamp;
};

RecordArgs record_args(const MStreamCall& c) {
    const auto& a = c.args;
    RecordArgs r;
    r.numeric = a.convert(0, to_numeric_list);
    r.categorical = a.convert(1, to_categorical_list);
    r.timestamp = a.convert(2, to_count);
    return r;
}

// {"total", "record", "numeric_features", "categorical_features"}, in that
// insertion order.
PyObject* decomposed_to_py(const mstream::DecomposedScore& s) {
    Ref dict(check(PyDict_New()));
    const auto put = [&](const char* key, PyObject* value) {
        Ref v(value);
        if (PyDict_SetItemString(dict.get(), key, v.get()) < 0) throw PyErrorSet{};
    };
    put("total", to_py(s.total));
    put("record", to_py(s.record));
    put("numeric_features", to_py(s.numeric_features));
    put("categorical_features", to_py(s.categorical_features));
    return dict.release();
}

PyObject* mstream_new(MStreamCall& c) {
    const auto& a = c.args;
    mstream::MStreamConfig config;
    config.numeric_dim = a.convert(0, to_count);
    config.categorical_dim = a.convert(1, to_count);
    config.num_rows = a.convert_or(2, to_count, std::uint64_t{2});
    config.num_buckets = a.convert_or(3, to_count, std::uint64_t{1024});
    config.alpha = a.convert_or(4, to_float, 0.8);
    const std::optional<std::uint64_t> seed = a.convert(5, to_seed);
    return wrap_new(c.type, unwrap(MStream::create(config, seed)));
}

PyObject* mstream_update(MStreamCall& c) {
    const RecordArgs r = record_args(c);
    MStream& m = c.state();
    unwrap(c.compute([&] { return m.update(r.numeric, r.categorical, r.timestamp); }));
    return none();
}

PyObject* mstream_score(MStreamCall& c) {
    const RecordArgs r = record_args(c);
    const MStream& m = c.state();
    return to_py(unwrap(c.compute([&] { return m.score(r.numeric, r.categorical, r.timestamp); })));
}

PyObject* mstream_update_and_score(MStreamCall& c) {
    const RecordArgs r = record_args(c);
    MStream& m = c.state();
    return to_py(unwrap(c.compute([&] { return m.update_and_score(r.numeric, r.categorical, r.timestamp); })));
}

PyObject* mstream_score_detailed(MStreamCall& c) {
    const RecordArgs r = record_args(c);
    const MStream& m = c.state();
    return decomposed_to_py(unwrap(c.compute([&] { return m.score_detailed(r.numeric, r.categorical, r.timestamp); })));
}

PyObject* mstream_update_and_score_detailed(MStreamCall& c) {
    const RecordArgs r = record_args(c);
    MStream& m = c.state();
    return decomposed_to_py(
        unwrap(c.compute([&] { return m.update_and_score_detailed(r.numeric, r.categorical, r.timestamp); })));
}

PyObject* mstream_is_ready(MStreamCall& c) { return to_py(c.state().is_ready()); }
PyObject* mstream_entries_seen(MStreamCall& c) { return to_py(c.state().entries_seen); }
PyObject* mstream_current_time(MStreamCall& c) {
    const auto t = c.state().current_time();
    return t ? to_py(*t) : none();
}

constexpr const char* kClassDoc =
    "MStream(numeric_dim, categorical_dim, num_rows=2, num_buckets=1024, alpha=0.8, seed=None)\n--\n\n"
    "mStream detector for mixed numerical/categorical records.\n\n"
    "`timestamp` is interpreted as a logical time tick, not as wall-clock time.\n"
    "Scores are invariant to adding a constant offset to all timestamps, while a\n"
    "gap of `k` ticks applies the temporal decay factor `alpha` exactly `k`\n"
    "times.\n\n"
    "Parameters\n----------\n"
    "numeric_dim : int\n    Number of numerical features in each record.\n"
    "categorical_dim : int\n    Number of categorical features in each record.\n"
    "num_rows : int, optional\n    Number of hash rows (default 2).\n"
    "num_buckets : int, optional\n    Number of buckets per hash row (default 1024).\n"
    "alpha : float, optional\n    Temporal decay factor in `(0, 1)` (default 0.8).\n"
    "seed : int, optional\n    Random seed for deterministic hashing.";

#define RECORD_PARAMS {"numeric", "categorical", "timestamp"}, 3, 3

constexpr Method<MStream> kNew{
    {"__new__", {"numeric_dim", "categorical_dim", "num_rows", "num_buckets", "alpha", "seed"}, 6, 2, Access::None,
     Gil::Keep, nullptr},
    mstream_new};

constexpr Method<MStream> kUpdate{
    {"update", RECORD_PARAMS, Access::Write, Gil::Release,
     "update($self, numeric, categorical, timestamp)\n--\n\nIngest a record without returning its score."},
    mstream_update};

constexpr Method<MStream> kScore{
    {"score", RECORD_PARAMS, Access::Read, Gil::Release,
     "score($self, numeric, categorical, timestamp)\n--\n\n"
     "Preview the anomaly score for a record without mutating detector state.\n\n"
     "The preview answers what this record would score if it were ingested\n"
     "next, using the same timestamp semantics as `update_and_score()`."},
    mstream_score};

constexpr Method<MStream> kUpdateAndScore{
    {"update_and_score", RECORD_PARAMS, Access::Write, Gil::Release,
     "update_and_score($self, numeric, categorical, timestamp)\n--\n\n"
     "Ingest a record and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(numeric, categorical,\n"
     "timestamp)` first and then `update(numeric, categorical, timestamp)`\n"
     "with the same record and timestamp.\n\n"
     "`timestamp` must be a monotonically non-decreasing tick index. Only tick\n"
     "differences matter: shifting all timestamps by the same constant does\n"
     "not change the scores."},
    mstream_update_and_score};

constexpr Method<MStream> kScoreDetailed{
    {"score_detailed", RECORD_PARAMS, Access::Read, Gil::Release,
     "score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
     "Preview the decomposed anomaly score without mutating detector state."},
    mstream_score_detailed};

constexpr Method<MStream> kUpdateAndScoreDetailed{
    {"update_and_score_detailed", RECORD_PARAMS, Access::Write, Gil::Release,
     "update_and_score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
     "Ingest a record and return the decomposed score used to form the final anomaly score.\n\n"
     "This has the same score-then-update behavior as `update_and_score()`,\n"
     "but returns the decomposed score instead of only the total."},
    mstream_update_and_score_detailed};

#undef RECORD_PARAMS

constexpr Method<MStream> kUpdateMany = batch::update_many_row<MStream>(
    "update_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Ingest every record of a batch, in order, as `update()` does.\n\n"
    "`numeric` is n x `numeric_dim` (float32, float64 or integers),\n"
    "`categorical` n x `categorical_dim` (integers), as 2-D arrays of any\n"
    "memory layout or sequences of rows, and `timestamps` has n integers;\n"
    "`None` stands for a dimension of 0. Every record is checked before the\n"
    "first is applied: a refused batch changes nothing and names the row.");
constexpr Method<MStream> kScoreMany = batch::score_many_row<MStream>(
    "score_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Preview the anomaly score of every record of a batch, as `score()` does.\n\n"
    "Each record is scored against the current state, as if it came next.\n"
    "Returns an `array.array('d')` with one score per record.");
constexpr Method<MStream> kUpdateAndScoreMany = batch::update_and_score_many_row<MStream>(
    "update_and_score_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Ingest every record of a batch in order and return their scores.\n\n"
    "The same as `update_and_score()` on each record in turn, in one call;\n"
    "returns an `array.array('d')` with one score per record. Every record\n"
    "is checked before the first is applied.");

constexpr Method<MStream> kIsReady{
    {"is_ready", {}, 0, 0, Access::Read, Gil::Keep,
     "is_ready($self)\n--\n\nReturn True once the detector has processed at least one record."},
    mstream_is_ready};
constexpr Method<MStream> kEntriesSeen{
    {"entries_seen", {}, 0, 0, Access::Read, Gil::Keep,
     "entries_seen($self)\n--\n\nReturn the number of processed records."},
    mstream_entries_seen};
constexpr Method<MStream> kCurrentTime{
    {"current_time", {}, 0, 0, Access::Read, Gil::Keep,
     "current_time($self)\n--\n\nReturn the last timestamp observed by the detector."},
    mstream_current_time};

constexpr Method<MStream> kToJson =
    persistence::to_json_row<MStream>("to_json($self)\n--\n\nSerialize the detector state to JSON.");
constexpr Method<MStream> kFromJson = persistence::from_json_row<MStream>(
    "from_json(json)\n--\n\nDeserialize detector state from a JSON string previously written by `to_json()`.");
constexpr Method<MStream> kToBytes = persistence::to_bytes_row<MStream>(
    "to_bytes($self)\n--\n\nSerialize the complete detector state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.");
constexpr Method<MStream> kFromBytes = persistence::from_bytes_row<MStream>(
    "from_bytes(data)\n--\n\nRebuild a detector from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.");
constexpr Method<MStream> kSaveJson =
    persistence::save_json_row<MStream>("save_json($self, path)\n--\n\nSerialize the detector state to a JSON file.");
constexpr Method<MStream> kLoadJson = persistence::load_json_row<MStream>(
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.");
constexpr Method<MStream> kCopy = persistence::copy_row<MStream>();
constexpr Method<MStream> kDeepCopy = persistence::deepcopy_row<MStream>();
constexpr Method<MStream> kGetState = persistence::getstate_row<MStream>();
constexpr Method<MStream> kSetState = persistence::setstate_row<MStream>();
constexpr Method<MStream> kGetNewArgs = persistence::getnewargs_row<MStream>();

PyMethodDef kMethods[] = {
    method_def<MStream, kUpdate>(),
    method_def<MStream, kScore>(),
    method_def<MStream, kUpdateAndScore>(),
    method_def<MStream, kScoreDetailed>(),
    method_def<MStream, kUpdateAndScoreDetailed>(),
    method_def<MStream, kUpdateMany>(),
    method_def<MStream, kScoreMany>(),
    method_def<MStream, kUpdateAndScoreMany>(),
    method_def<MStream, kIsReady>(),
    method_def<MStream, kEntriesSeen>(),
    method_def<MStream, kCurrentTime>(),
    method_def<MStream, kToJson>(),
    method_def<MStream, kFromJson>(),
    method_def<MStream, kToBytes>(),
    method_def<MStream, kFromBytes>(),
    method_def<MStream, kSaveJson>(),
    method_def<MStream, kLoadJson>(),
    method_def<MStream, kCopy>(),
    method_def<MStream, kDeepCopy>(),
    method_def<MStream, kGetState>(),
    method_def<MStream, kSetState>(),
    method_def<MStream, kGetNewArgs>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* mstream_class() {
    return class_object<MStream, kNew, mstream_repr>("MStream", "tarn.tarn.MStream", kClassDoc, kMethods);
}

} // namespace tarn::frame
