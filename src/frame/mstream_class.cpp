// The MStream class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/table.hpp"
#include "mstream/detector.hpp"

namespace tarn::frame {

// Unpickling calls the constructor with these before __setstate__.
template <>
struct NewArgs<mstream::MStream> {
    static std::array<std::uint64_t, 2> of(const mstream::MStream& m) {
        return {m.config().numeric_dim, m.config().categorical_dim};
    }
};

template <>
struct Batch<mstream::MStream> {
    using MStream = mstream::MStream;
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
        if (!(a[0] == Py_None && m.config().numeric_dim == 0)) in.numeric = a.convert(0, to_numeric_rows);
        if (!(a[1] == Py_None && m.config().categorical_dim == 0)) in.categorical = a.convert(1, to_categorical_rows);
        in.timestamps = a.convert(2, to_timestamps);
        const auto same_length = [&](const char* name, std::size_t rows) {
            if (rows == in.timestamps.size()) return;
            const std::string text = std::string(name) + " has " + std::to_string(rows) + " rows but timestamps has " +
                                     std::to_string(in.timestamps.size());
            PyErr_SetString(PyExc_ValueError, text.c_str());
            throw PyErrorSet{};
        };
        if (in.numeric) same_length("numeric", in.numeric->size());
        if (in.categorical) same_length("categorical", in.categorical->size());
        return in;
    }
    static std::size_t size(const Input& in) { return in.timestamps.size(); }
    template <class T>
    static bool shaped(const std::optional<Rows<T>>& rows, std::uint64_t dim) {
        if (!rows) return dim == 0;
        for (std::size_t i = 0; i < rows->size(); ++i) {
            if (rows->starts[i + 1] - rows->starts[i] != dim) return false;
        }
        return true;
    }
    // Timestamps continue from the detector's clock, row after row. A batch
    // that passes every check, the usual case, is told in one sweep; row
    // by row the checks name the first row refused.
    static RowStatus check_updates(const MStream& m, const Input& in) {
        if (shaped(in.numeric, m.config().numeric_dim) && shaped(in.categorical, m.config().categorical_dim) &&
            m.accepts_all(in.numeric ? std::span<const double>(in.numeric->values) : std::span<const double>(),
                          in.timestamps)) {
            return {};
        }
        mstream::StreamClock clock = m.clock();
        return each_row(size(in), [&](std::size_t i) {
            return m.check_update(in.numeric_row(i), in.categorical_row(i), in.timestamps[i], clock);
        });
    }
    // Rows are applied after check_updates passed for all of them, so each
    // has its detector's shape and the values lie one row after another.
    static RowStatus apply_all(MStream& m, const Input& in, std::span<double> scores) {
        std::size_t applied = 0;
        auto ok = m.update_checked(in.numeric ? std::span<const double>(in.numeric->values) : std::span<const double>(),
                                   in.categorical ? std::span<const std::int64_t>(in.categorical->values)
                                                  : std::span<const std::int64_t>(),
                                   in.timestamps, scores, applied);
        if (!ok) return std::unexpected(RowError{applied, std::move(ok.error())});
        return {};
    }
    static core::Result<double> score(const MStream& m, const Input& in, std::size_t i) {
        return m.score(in.numeric_row(i), in.categorical_row(i), in.timestamps[i]);
    }
};

// The numeric values, the categories and the timestamp of a record, in the
// order the detector takes them.
template <>
struct Record<mstream::MStream> {
    static std::tuple<std::vector<double>, std::vector<std::int64_t>, std::uint64_t> convert(const Bound& a) {
        return {a.convert(0, to_numeric_list), a.convert(1, to_categorical_list), a.convert(2, to_count)};
    }
};

namespace {

using mstream::MStream;
using mstream::MStreamConfig;
using MStreamCall = Call<MStream>;

// {"total", "record", "numeric_features", "categorical_features"}, in that
// insertion order.
PyObject* decomposed_to_py(const mstream::DecomposedScore& s) {
    return DictBuilder()
        .set("total", to_py(s.total))
        .set("record", to_py(s.record))
        .set("numeric_features", to_py(s.numeric_features))
        .set("categorical_features", to_py(s.categorical_features))
        .release();
}

PyObject* mstream_score_detailed(MStreamCall& c) {
    return decomposed_to_py(record::on_record<const MStream>(
        c, [](const MStream& m, const auto&... record) { return m.score_detailed(record...); }));
}

PyObject* mstream_update_and_score_detailed(MStreamCall& c) {
    return decomposed_to_py(record::on_record<MStream>(
        c, [](MStream& m, const auto&... record) { return m.update_and_score_detailed(record...); }));
}

constexpr Method<MStream> kNew =
    constructor<MStream, &MStreamConfig::numeric_dim, &MStreamConfig::categorical_dim, &MStreamConfig::num_rows,
                &MStreamConfig::num_buckets, &MStreamConfig::alpha>(
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
        "seed : int, optional\n    Random seed for deterministic hashing.");

constexpr auto kRows = table<MStream>(
    "to_json($self)\n--\n\nSerialize the detector state to JSON.",
    "from_json(json)\n--\n\nDeserialize detector state from a JSON string previously written by `to_json()`.",
    "to_bytes($self)\n--\n\nSerialize the complete detector state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.",
    "from_bytes(data)\n--\n\nRebuild a detector from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.",
    "save_json($self, path)\n--\n\nSerialize the detector state to a JSON file.",
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.",
    "update($self, numeric, categorical, timestamp)\n--\n\nIngest a record without returning its score.",
    "score($self, numeric, categorical, timestamp)\n--\n\n"
    "Preview the anomaly score for a record without mutating detector state.\n\n"
    "The preview answers what this record would score if it were ingested\n"
    "next, using the same timestamp semantics as `update_and_score()`.",
    "update_and_score($self, numeric, categorical, timestamp)\n--\n\n"
    "Ingest a record and return its anomaly score.\n\n"
    "This has the same behavior as calling `score(numeric, categorical,\n"
    "timestamp)` first and then `update(numeric, categorical, timestamp)`\n"
    "with the same record and timestamp.\n\n"
    "`timestamp` must be a monotonically non-decreasing tick index. Only tick\n"
    "differences matter: shifting all timestamps by the same constant does\n"
    "not change the scores.",
    method<MStream>("score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
                    "Preview the decomposed anomaly score without mutating detector state.",
                    Access::Read, Gil::Release, mstream_score_detailed),
    method<MStream>("update_and_score_detailed($self, numeric, categorical, timestamp)\n--\n\n"
                    "Ingest a record and return the decomposed score used to form the final anomaly score.\n\n"
                    "This has the same score-then-update behavior as `update_and_score()`,\n"
                    "but returns the decomposed score instead of only the total.",
                    Access::Write, Gil::Release, mstream_update_and_score_detailed),
    "update_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Ingest every record of a batch, in order, as `update()` does.\n\n"
    "`numeric` is n x `numeric_dim` (float32, float64 or integers),\n"
    "`categorical` n x `categorical_dim` (integers), as 2-D arrays of any\n"
    "memory layout or sequences of rows, and `timestamps` has n integers;\n"
    "`None` stands for a dimension of 0. Every record is checked before the\n"
    "first is applied: a refused batch changes nothing and names the row.",
    "score_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Preview the anomaly score of every record of a batch, as `score()` does.\n\n"
    "Each record is scored against the current state, as if it came next.\n"
    "Returns an `array.array('d')` with one score per record.",
    "update_and_score_many($self, numeric, categorical, timestamps)\n--\n\n"
    "Ingest every record of a batch in order and return their scores.\n\n"
    "The same as `update_and_score()` on each record in turn, in one call;\n"
    "returns an `array.array('d')` with one score per record. Every record\n"
    "is checked before the first is applied.",
    "is_ready($self)\n--\n\nReturn True once the detector has processed at least one record.",
    "entries_seen($self)\n--\n\nReturn the number of processed records.",
    method<MStream>("current_time($self)\n--\n\nReturn the last timestamp observed by the detector.", Access::Read,
                    Gil::Keep, getter<&MStream::current_time>));

} // namespace

PyObject* mstream_class() { return class_object<MStream, kNew, kRows>("tarn.tarn.MStream"); }

} // namespace tarn::frame
