// The FeatureSketch class: its method table, docstrings and argument handling.
#include <string>

#include "featuresketch/detector.hpp"
#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/persistence.hpp"

namespace tarn::frame {

// The state text of a FeatureSketch. There is no __getnewargs__: unpickling
// goes through the default constructor.
template <>
struct StateFormat<featuresketch::FeatureSketch> {
    static core::Result<std::string> write(const featuresketch::FeatureSketch& s) { return s.to_json(); }
    static core::Result<std::string> write_bytes(const featuresketch::FeatureSketch& s) { return s.to_bytes(); }
    static core::Result<featuresketch::FeatureSketch> read_bytes(std::string_view data) { return featuresketch::FeatureSketch::from_bytes(data); }
    static core::Result<featuresketch::FeatureSketch> read(std::string_view text) {
        return featuresketch::FeatureSketch::from_json(text);
    }
};

template <>
struct Batch<featuresketch::FeatureSketch> {
    using FeatureSketch = featuresketch::FeatureSketch;
    static constexpr std::array params{"events"};
    using Input = std::vector<core::KeyValueLike>;
    static Input convert(const Bound& a, const FeatureSketch&) { return a.convert(0, to_events); }
    static std::size_t size(const Input& in) { return in.size(); }
    static RowStatus check_updates(const FeatureSketch& s, const Input& in) {
        return each_row(in.size(), [&](std::size_t i) { return s.check_update(in[i], i); });
    }
    static core::Status update(FeatureSketch& s, const Input& in, std::size_t i) { return s.update(in[i]); }
    static core::Result<double> score(const FeatureSketch& s, const Input& in, std::size_t i) {
        return s.score(in[i]);
    }
    static core::Result<double> update_and_score(FeatureSketch& s, const Input& in, std::size_t i) {
        return s.update_and_score(in[i]);
    }
};

namespace {

using featuresketch::FeatureSketch;
using SketchCall = Call<FeatureSketch>;

std::string sketch_repr(const FeatureSketch& s) { return s.repr(); }

PyObject* sketch_new(SketchCall& c) {
    const auto& a = c.args;
    featuresketch::FeatureSketchConfig config;
    config.value_projection_dims = a.convert_or(0, to_count, std::uint64_t{32});
    config.presence_projection_dims = a.convert_or(1, to_count, std::uint64_t{32});
    config.chains_per_ensemble = a.convert_or(2, to_count, std::uint64_t{16});
    config.chain_depth = a.convert_or(3, to_count, std::uint64_t{8});
    config.sketch_rows = a.convert_or(4, to_count, std::uint64_t{2});
    config.sketch_buckets = a.convert_or(5, to_count, std::uint64_t{2048});
    config.decay_half_life = a.convert_or(6, to_count, std::uint64_t{2048});
    const std::optional<std::uint64_t> seed = a.convert(7, to_seed);
    return wrap_new(c.type, unwrap(FeatureSketch::create(config, seed)));
}

// The three event methods convert the event with the lock held, then
// normalise, project and touch the sketches with it released.
PyObject* sketch_update(SketchCall& c) {
    const core::KeyValueLike event = c.args.convert(0, to_key_value_like);
    unwrap(c.compute([&] { return c.state().update(event); }));
    return none();
}

PyObject* sketch_score(SketchCall& c) {
    const core::KeyValueLike event = c.args.convert(0, to_key_value_like);
    const FeatureSketch& state = c.state();
    return to_py(unwrap(c.compute([&] { return state.score(event); })));
}

PyObject* sketch_update_and_score(SketchCall& c) {
    const core::KeyValueLike event = c.args.convert(0, to_key_value_like);
    return to_py(unwrap(c.compute([&] { return c.state().update_and_score(event); })));
}

PyObject* sketch_is_ready(SketchCall& c) { return to_py(c.state().is_ready()); }
PyObject* sketch_entries_seen(SketchCall& c) { return to_py(c.state().entries_seen); }

constexpr const char* kClassDoc =
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
    "    Random seed for deterministic projections, chains, and sketches.";

constexpr Method<FeatureSketch> kNew{
    {"__new__",
     {"value_projection_dims", "presence_projection_dims", "chains_per_ensemble", "chain_depth", "sketch_rows",
      "sketch_buckets", "decay_half_life", "seed"},
     8, 0, Access::None, Gil::Keep, nullptr},
    sketch_new};

constexpr Method<FeatureSketch> kUpdate{
    {"update", {"feature"}, 1, 1, Access::Write, Gil::Release,
     "update($self, feature)\n--\n\nIngest a feature event without returning its score."},
    sketch_update};
constexpr Method<FeatureSketch> kScore{
    {"score", {"feature"}, 1, 1, Access::Read, Gil::Release,
     "score($self, feature)\n--\n\n"
     "Preview the current anomaly score for a feature event without mutating state.\n\n"
     "This is the same pre-ingest score that `update_and_score()` would return\n"
     "if called next. It is computed against the current sketches and does not\n"
     "advance the decay epoch or `entries_seen()`."},
    sketch_score};
constexpr Method<FeatureSketch> kUpdateAndScore{
    {"update_and_score", {"feature"}, 1, 1, Access::Write, Gil::Release,
     "update_and_score($self, feature)\n--\n\n"
     "Ingest a feature event and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(feature)` first and then\n"
     "`update(feature)` with the same event. Unlike a literal two-call\n"
     "sequence, this method normalizes and projects the input once."},
    sketch_update_and_score};
constexpr Method<FeatureSketch> kUpdateMany = batch::update_many_row<FeatureSketch>(
    "update_many($self, events)\n--\n\nIngest every event of `events`, in order, as `update()` does.\n\n"
    "`events` is any iterable of feature events, each a mapping or a\n"
    "sequence of `(name, value)` pairs. Every event is checked before the\n"
    "first is applied: a refused batch changes nothing and names the row.");
constexpr Method<FeatureSketch> kScoreMany = batch::score_many_row<FeatureSketch>(
    "score_many($self, events)\n--\n\nPreview the anomaly score of every event of `events`, as `score()` does.\n\n"
    "Returns an `array.array('d')` with one score per event.");
constexpr Method<FeatureSketch> kUpdateAndScoreMany = batch::update_and_score_many_row<FeatureSketch>(
    "update_and_score_many($self, events)\n--\n\nIngest every event of `events` in order and return their scores.\n\n"
    "The same as `update_and_score()` on each event in turn, in one call;\n"
    "returns an `array.array('d')` with one score per event. Every event is\n"
    "checked before the first is applied.");

constexpr Method<FeatureSketch> kIsReady{
    {"is_ready", {}, 0, 0, Access::Read, Gil::Keep,
     "is_ready($self)\n--\n\nReturn True once the detector has processed at least one event."},
    sketch_is_ready};
constexpr Method<FeatureSketch> kEntriesSeen{
    {"entries_seen", {}, 0, 0, Access::Read, Gil::Keep,
     "entries_seen($self)\n--\n\nReturn the number of processed events."},
    sketch_entries_seen};

constexpr Method<FeatureSketch> kToJson =
    persistence::to_json_row<FeatureSketch>("to_json($self)\n--\n\nSerialize the detector state to JSON.");
constexpr Method<FeatureSketch> kFromJson = persistence::from_json_row<FeatureSketch>(
    "from_json(json)\n--\n\nDeserialize detector state from a JSON string previously written by `to_json()`.");
constexpr Method<FeatureSketch> kToBytes = persistence::to_bytes_row<FeatureSketch>(
    "to_bytes($self)\n--\n\nSerialize the complete sketch state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.");
constexpr Method<FeatureSketch> kFromBytes = persistence::from_bytes_row<FeatureSketch>(
    "from_bytes(data)\n--\n\nRebuild a sketch from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.");
constexpr Method<FeatureSketch> kSaveJson = persistence::save_json_row<FeatureSketch>(
    "save_json($self, path)\n--\n\nSerialize the detector state to a JSON file.");
constexpr Method<FeatureSketch> kLoadJson = persistence::load_json_row<FeatureSketch>(
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.");
constexpr Method<FeatureSketch> kCopy = persistence::copy_row<FeatureSketch>();
constexpr Method<FeatureSketch> kDeepCopy = persistence::deepcopy_row<FeatureSketch>();
constexpr Method<FeatureSketch> kGetState = persistence::getstate_row<FeatureSketch>();
constexpr Method<FeatureSketch> kSetState = persistence::setstate_row<FeatureSketch>();

PyMethodDef kMethods[] = {
    method_def<FeatureSketch, kUpdate>(),
    method_def<FeatureSketch, kScore>(),
    method_def<FeatureSketch, kUpdateAndScore>(),
    method_def<FeatureSketch, kUpdateMany>(),
    method_def<FeatureSketch, kScoreMany>(),
    method_def<FeatureSketch, kUpdateAndScoreMany>(),
    method_def<FeatureSketch, kIsReady>(),
    method_def<FeatureSketch, kEntriesSeen>(),
    method_def<FeatureSketch, kToJson>(),
    method_def<FeatureSketch, kFromJson>(),
    method_def<FeatureSketch, kToBytes>(),
    method_def<FeatureSketch, kFromBytes>(),
    method_def<FeatureSketch, kSaveJson>(),
    method_def<FeatureSketch, kLoadJson>(),
    method_def<FeatureSketch, kCopy>(),
    method_def<FeatureSketch, kDeepCopy>(),
    method_def<FeatureSketch, kGetState>(),
    method_def<FeatureSketch, kSetState>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* featuresketch_class() {
    return class_object<FeatureSketch, kNew, sketch_repr>("FeatureSketch", "tarn.tarn.FeatureSketch", kClassDoc,
                                                          kMethods);
}

} // namespace tarn::frame
