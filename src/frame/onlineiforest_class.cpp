// The OnlineIForest class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/persistence.hpp"
#include "onlineiforest/detector.hpp"

namespace tarn::frame {

template <>
struct StateFormat<onlineiforest::OnlineIForest> {
    static core::Result<std::string> write(const onlineiforest::OnlineIForest& f) { return f.to_json(); }
    static core::Result<std::string> write_bytes(const onlineiforest::OnlineIForest& f) { return f.to_bytes(); }
    static core::Result<onlineiforest::OnlineIForest> read_bytes(std::string_view data) { return onlineiforest::OnlineIForest::from_bytes(data); }
    static core::Result<onlineiforest::OnlineIForest> read(std::string_view text) { return onlineiforest::OnlineIForest::from_json(text); }
    static PyObject* newargs(const onlineiforest::OnlineIForest& f) {
        Ref dim(check(to_py(f.config().input_dim)));
        Ref args(check(PyTuple_New(1)));
        PyTuple_SetItem(args.get(), 0, dim.release());
        return args.release();
    }
};

template <>
struct Batch<onlineiforest::OnlineIForest>
    : PointBatch<onlineiforest::OnlineIForest, &onlineiforest::OnlineIForest::check_point> {};

namespace {

using onlineiforest::OnlineIForest;
using OifCall = Call<OnlineIForest>;

std::string oif_repr(const OnlineIForest& f) {
    const onlineiforest::OnlineIForestConfig& c = f.config();
    return "OnlineIForest(input_dim=" + std::to_string(c.input_dim) + ", num_trees=" + std::to_string(c.num_trees) +
           ", window_size=" + std::to_string(c.window_size) +
           ", max_leaf_samples=" + std::to_string(c.max_leaf_samples) +
           ", entries_seen=" + std::to_string(f.entries_seen()) + ")";
}

PyObject* oif_new(OifCall& c) {
    const auto& a = c.args;
    onlineiforest::OnlineIForestConfig config;
    config.input_dim = a.convert(0, to_count);
    config.num_trees = a.convert_or(1, to_count, std::uint64_t{32});
    config.window_size = a.convert_or(2, to_count, std::uint64_t{2048});
    config.max_leaf_samples = a.convert_or(3, to_count, std::uint64_t{32});
    const std::optional<std::uint64_t> seed = a.convert(4, to_seed);
    return wrap_new(c.type, unwrap(OnlineIForest::create(config, seed)));
}

PyObject* oif_update(OifCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    OnlineIForest& f = c.state();
    unwrap(c.compute([&] { return f.update(point); }));
    return none();
}

PyObject* oif_score(OifCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const OnlineIForest& f = c.state();
    return to_py(unwrap(c.compute([&] { return f.score(point); })));
}

PyObject* oif_update_and_score(OifCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    OnlineIForest& f = c.state();
    return to_py(unwrap(c.compute([&] { return f.update_and_score(point); })));
}

PyObject* oif_is_ready(OifCall& c) { return to_py(c.state().is_ready()); }
PyObject* oif_entries_seen(OifCall& c) { return to_py(c.state().entries_seen()); }
PyObject* oif_num_trees(OifCall& c) { return to_py(c.state().num_trees()); }

constexpr const char* kClassDoc =
    "OnlineIForest(input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, seed=None)\n--\n\n"
    "Online Isolation Forest detector for numerical streams.\n\n"
    "Use `update()` or `update_and_score()` to ingest observations. Use\n"
    "`score()` to preview the current anomaly score for a point without mutating\n"
    "detector state.\n\n"
    "Parameters\n----------\n"
    "input_dim : int\n    Number of numerical features in each point.\n"
    "num_trees : int, optional\n    Number of trees in the ensemble (default 32).\n"
    "window_size : int, optional\n    Number of recent points retained by the sliding window (default 2048).\n"
    "max_leaf_samples : int, optional\n    Base leaf-splitting threshold (default 32).\n"
    "seed : int, optional\n    Random seed for deterministic trees.";

constexpr Method<OnlineIForest> kNew{
    {"__new__", {"input_dim", "num_trees", "window_size", "max_leaf_samples", "seed"}, 5, 1, Access::None, Gil::Keep,
     nullptr},
    oif_new};

constexpr Method<OnlineIForest> kUpdate{
    {"update", {"point"}, 1, 1, Access::Write, Gil::Release,
     "update($self, point)\n--\n\nIngest a point without returning its score."},
    oif_update};

constexpr Method<OnlineIForest> kScore{
    {"score", {"point"}, 1, 1, Access::Read, Gil::Release,
     "score($self, point)\n--\n\n"
     "Preview the current anomaly score for `point` without mutating state.\n\n"
     "This can differ from `update_and_score()` because the preview is\n"
     "computed before `point` is learned by the forest, unlike the\n"
     "preview-style scoring semantics used by the other detectors. By\n"
     "contrast, `update_and_score(point)` returns the same value as calling\n"
     "`update(point)` and then `score(point)`.\n\n"
     "Calling this before `is_ready()` is allowed, but the value is not a\n"
     "stable anomaly estimate yet."},
    oif_score};

constexpr Method<OnlineIForest> kUpdateAndScore{
    {"update_and_score", {"point"}, 1, 1, Access::Write, Gil::Release,
     "update_and_score($self, point)\n--\n\n"
     "Ingest a point and return its anomaly score under the updated forest.\n\n"
     "This has the same behavior as calling `update(point)` first and then\n"
     "`score(point)` with the same point. This update-then-score order is\n"
     "specific to Online Isolation Forest."},
    oif_update_and_score};

constexpr Method<OnlineIForest> kUpdateMany = batch::update_many_row<OnlineIForest>(
    "update_many($self, points)\n--\n\nIngest every row of `points`, in order, as `update()` does.\n\n"
    "`points` is a 2-D array (float32, float64 or integers, any memory layout)\n"
    "or a sequence of rows, one point per row. Every row is checked before\n"
    "the first is applied: a refused batch changes nothing and names the row.");
constexpr Method<OnlineIForest> kScoreMany = batch::score_many_row<OnlineIForest>(
    "score_many($self, points)\n--\n\nPreview the anomaly score of every row of `points`, as `score()` does.\n\n"
    "Returns an `array.array('d')` with one score per row.");
constexpr Method<OnlineIForest> kUpdateAndScoreMany = batch::update_and_score_many_row<OnlineIForest>(
    "update_and_score_many($self, points)\n--\n\nIngest every row of `points` in order and return their scores.\n\n"
    "The same as `update_and_score()` on each row in turn, in one call;\n"
    "returns an `array.array('d')` with one score per row. Every row is\n"
    "checked before the first is applied.");

constexpr Method<OnlineIForest> kIsReady{
    {"is_ready", {}, 0, 0, Access::Read, Gil::Keep,
     "is_ready($self)\n--\n\nReturn True once at least one point has been processed."},
    oif_is_ready};

constexpr Method<OnlineIForest> kEntriesSeen{
    {"entries_seen", {}, 0, 0, Access::Read, Gil::Keep, "entries_seen($self)\n--\n\nNumber of points processed so far."},
    oif_entries_seen};

constexpr Method<OnlineIForest> kNumTrees{
    {"num_trees", {}, 0, 0, Access::Read, Gil::Keep, "num_trees($self)\n--\n\nNumber of trees in the ensemble."},
    oif_num_trees};

constexpr Method<OnlineIForest> kToJson =
    persistence::to_json_row<OnlineIForest>("to_json($self)\n--\n\nSerialize detector state to JSON.");
constexpr Method<OnlineIForest> kFromJson = persistence::from_json_row<OnlineIForest>(
    "from_json(json)\n--\n\nDeserialize detector state from JSON previously written by `to_json()`.");
constexpr Method<OnlineIForest> kToBytes = persistence::to_bytes_row<OnlineIForest>(
    "to_bytes($self)\n--\n\nSerialize the complete detector state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.");
constexpr Method<OnlineIForest> kFromBytes = persistence::from_bytes_row<OnlineIForest>(
    "from_bytes(data)\n--\n\nRebuild a detector from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.");
constexpr Method<OnlineIForest> kSaveJson =
    persistence::save_json_row<OnlineIForest>("save_json($self, path)\n--\n\nSerialize detector state to a JSON file.");
constexpr Method<OnlineIForest> kLoadJson = persistence::load_json_row<OnlineIForest>(
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.");
constexpr Method<OnlineIForest> kCopy = persistence::copy_row<OnlineIForest>();
constexpr Method<OnlineIForest> kDeepCopy = persistence::deepcopy_row<OnlineIForest>();
constexpr Method<OnlineIForest> kGetState = persistence::getstate_row<OnlineIForest>();
constexpr Method<OnlineIForest> kSetState = persistence::setstate_row<OnlineIForest>();
constexpr Method<OnlineIForest> kGetNewArgs = persistence::getnewargs_row<OnlineIForest>();

PyMethodDef kMethods[] = {
    method_def<OnlineIForest, kUpdate>(),
    method_def<OnlineIForest, kUpdateAndScore>(),
    method_def<OnlineIForest, kScore>(),
    method_def<OnlineIForest, kUpdateMany>(),
    method_def<OnlineIForest, kScoreMany>(),
    method_def<OnlineIForest, kUpdateAndScoreMany>(),
    method_def<OnlineIForest, kIsReady>(),
    method_def<OnlineIForest, kEntriesSeen>(),
    method_def<OnlineIForest, kNumTrees>(),
    method_def<OnlineIForest, kToJson>(),
    method_def<OnlineIForest, kFromJson>(),
    method_def<OnlineIForest, kToBytes>(),
    method_def<OnlineIForest, kFromBytes>(),
    method_def<OnlineIForest, kSaveJson>(),
    method_def<OnlineIForest, kLoadJson>(),
    method_def<OnlineIForest, kCopy>(),
    method_def<OnlineIForest, kDeepCopy>(),
    method_def<OnlineIForest, kGetState>(),
    method_def<OnlineIForest, kSetState>(),
    method_def<OnlineIForest, kGetNewArgs>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* onlineiforest_class() {
    return class_object<OnlineIForest, kNew, oif_repr>("OnlineIForest", "tarn.tarn.OnlineIForest", kClassDoc,
                                                       kMethods);
}

} // namespace tarn::frame
