// The FeatureSketch class: its method table, docstrings and argument handling.
#include <string>

#include "featuresketch/detector.hpp"
#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/table.hpp"

namespace tarn::frame {

// No NewArgs: every constructor argument has a default, so unpickling
// builds a default detector and then sets its state.

template <>
struct Batch<featuresketch::FeatureSketch> {
    using FeatureSketch = featuresketch::FeatureSketch;
    using Input = std::vector<core::KeyValueLike>;
    static Input convert(const Bound& a, const FeatureSketch&) { return a.convert(0, to_events); }
    static std::size_t size(const Input& in) { return in.size(); }
    static RowStatus check_updates(const FeatureSketch& s, const Input& in) {
        return each_row(in.size(), [&](std::size_t i) { return s.check_update(in[i], i); });
    }
    static core::Status update(FeatureSketch& s, const Input& in, std::size_t i) { return s.update(in[i]); }
    static core::Result<double> score(const FeatureSketch& s, const Input& in, std::size_t i) { return s.score(in[i]); }
    static core::Result<double> update_and_score(FeatureSketch& s, const Input& in, std::size_t i) {
        return s.update_and_score(in[i]);
    }
};

// One event per record: a mapping or a sequence of (name, value) pairs.
template <>
struct Record<featuresketch::FeatureSketch> {
    static std::tuple<core::KeyValueLike> convert(const Bound& a) { return {a.convert(0, to_key_value_like)}; }
};

namespace {

using featuresketch::FeatureSketch;
using featuresketch::FeatureSketchConfig;

constexpr Method<FeatureSketch> kNew =
    constructor<FeatureSketch, &FeatureSketchConfig::value_projection_dims,
                &FeatureSketchConfig::presence_projection_dims, &FeatureSketchConfig::chains_per_ensemble,
                &FeatureSketchConfig::chain_depth, &FeatureSketchConfig::sketch_rows,
                &FeatureSketchConfig::sketch_buckets, &FeatureSketchConfig::decay_half_life>(
        "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, chains_per_ensemble=16, chain_depth=8, "
        "sketch_rows=2, sketch_buckets=2048, decay_half_life=2048, seed=None)\n--\n\n"
        "FeatureSketch detector for sparse, schema-evolving feature streams.\n\n"
        "Feature events can be passed as either a mapping from feature name to value\n"
        "or as a sequence of `(name, value)` pairs. Duplicate names are combined\n"
        "before scoring, and values must be finite.\n\n"
        "Parameters\n----------\n"
        "value_projection_dims : int, optional\n"
        "    Number of random projection dimensions for feature values (default 32).\n"
        "presence_projection_dims : int, optional\n"
        "    Number of random projection dimensions for feature presence (default 32).\n"
        "chains_per_ensemble : int, optional\n"
        "    Number of chains in each sketch ensemble (default 16).\n"
        "chain_depth : int, optional\n"
        "    Number of bins traversed by each chain (default 8).\n"
        "sketch_rows : int, optional\n"
        "    Number of hash rows in each count-min sketch (default 2).\n"
        "sketch_buckets : int, optional\n"
        "    Number of buckets per sketch row (default 2048).\n"
        "decay_half_life : int, optional\n"
        "    Event-count half-life used for temporal decay (default 2048).\n"
        "seed : int, optional\n"
        "    Random seed for deterministic projections, chains, and sketches.");

constexpr auto kRows = table<FeatureSketch>(
    "to_json($self)\n--\n\nSerialize the detector state to JSON.",
    "from_json(json)\n--\n\nDeserialize detector state from a JSON string previously written by `to_json()`.",
    "to_bytes($self)\n--\n\nSerialize the complete sketch state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.",
    "from_bytes(data)\n--\n\nRebuild a sketch from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.",
    "save_json($self, path)\n--\n\nSerialize the detector state to a JSON file.",
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.",
    "update($self, feature)\n--\n\nIngest a feature event without returning its score.",
    "score($self, feature)\n--\n\n"
    "Preview the current anomaly score for a feature event without mutating state.\n\n"
    "This is the same pre-ingest score that `update_and_score()` would return\n"
    "if called next. It is computed against the current sketches and does not\n"
    "advance the decay epoch or `entries_seen()`.",
    "update_and_score($self, feature)\n--\n\n"
    "Ingest a feature event and return its anomaly score.\n\n"
    "This has the same behavior as calling `score(feature)` first and then\n"
    "`update(feature)` with the same event. Unlike a literal two-call\n"
    "sequence, this method normalizes and projects the input once.",
    "update_many($self, events)\n--\n\nIngest every event of `events`, in order, as `update()` does.\n\n"
    "`events` is any iterable of feature events, each a mapping or a\n"
    "sequence of `(name, value)` pairs. Every event is checked before the\n"
    "first is applied: a refused batch changes nothing and names the row.",
    "score_many($self, events)\n--\n\nPreview the anomaly score of every event of `events`, as `score()` does.\n\n"
    "Returns an `array.array('d')` with one score per event.",
    "update_and_score_many($self, events)\n--\n\nIngest every event of `events` in order and return their "
    "scores.\n\n"
    "The same as `update_and_score()` on each event in turn, in one call;\n"
    "returns an `array.array('d')` with one score per event. Every event is\n"
    "checked before the first is applied.",
    "is_ready($self)\n--\n\nReturn True once the detector has processed at least one event.",
    "entries_seen($self)\n--\n\nReturn the number of processed events.");

} // namespace

PyObject* featuresketch_class() { return class_object<FeatureSketch, kNew, kRows>("tarn.tarn.FeatureSketch"); }

} // namespace tarn::frame
