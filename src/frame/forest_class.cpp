// The Forest class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/persistence.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/forest/impute.hpp"
#include "rcf/forest/query.hpp"

namespace tarn::frame {

template <>
struct StateFormat<rcf::Forest> {
    static core::Result<std::string> write(const rcf::Forest& f) { return f.to_json(); }
    static core::Result<rcf::Forest> read(std::string_view text) { return rcf::Forest::from_json(text); }
    static core::Result<std::string> write_bytes(const rcf::Forest& f) { return f.to_bytes(); }
    static core::Result<rcf::Forest> read_bytes(std::string_view data) { return rcf::Forest::from_bytes(data); }
    static PyObject* newargs(const rcf::Forest& f) {
        Ref input_dim(to_py(f.config().input_dim));
        return check(PyTuple_Pack(1, input_dim.get()));
    }
};

template <>
struct Batch<rcf::Forest> : PointBatch<rcf::Forest, &rcf::Forest::check_update> {};

namespace {

using rcf::Forest;
using ForestCall = Call<Forest>;

std::string forest_repr(const Forest& f) {
    const rcf::RcfConfig& c = f.config();
    return "Forest(input_dim=" + std::to_string(c.input_dim) + ", shingle_size=" + std::to_string(c.shingle_size) +
           ", num_trees=" + std::to_string(c.num_trees) + ", capacity=" + std::to_string(c.capacity) +
           ", entries_seen=" + std::to_string(f.entries_seen()) + ")";
}

PyObject* forest_new(ForestCall& c) {
    const auto& a = c.args;
    rcf::RcfConfig config;
    config.input_dim = a.convert(0, to_count);
    config.shingle_size = a.convert_or(1, to_count, std::uint64_t{1});
    config.num_trees = a.convert_or(2, to_count, std::uint64_t{50});
    config.capacity = a.convert_or(3, to_count, std::uint64_t{256});
    config.time_decay = a.convert_or(4, to_float, 0.0);
    config.output_after = a.convert_or(5, to_count, std::uint64_t{0});
    config.internal_shingling = a.convert_or(6, to_flag, true);
    config.initial_accept_fraction = a.convert_or(7, to_float, 0.125);
    const std::optional<std::uint64_t> seed = a.convert(8, to_seed);
    return wrap_new(c.type, unwrap(Forest::create(config, seed)));
}

PyObject* forest_update(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    Forest& f = c.state();
    unwrap(c.compute([&] { return f.update(point); }));
    return none();
}
PyObject* forest_score(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return f.score(point); })));
}
PyObject* forest_update_and_score(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return f.update_and_score(point); })));
}

PyObject* forest_num_trees(ForestCall& c) { return to_py(c.state().num_trees()); }
PyObject* forest_entries_seen(ForestCall& c) { return to_py(c.state().entries_seen()); }
PyObject* forest_is_ready(ForestCall& c) { return to_py(c.state().is_ready()); }

// Queries: convert with the lock held, compute without it on the shared
// borrow, build the result with the lock back.
PyObject* forest_displacement_score(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::displacement_score(f, point); })));
}
PyObject* forest_density(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::density(f, point); })));
}
PyObject* forest_attribution(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    const std::vector<rcf::AttributionEntry> entries = unwrap(c.compute([&] { return rcf::attribution(f, point); }));
    ListBuilder list(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        DictBuilder d;
        d.set("below", to_py(entries[i].below));
        d.set("above", to_py(entries[i].above));
        list.set(i, d.release());
    }
    return list.release();
}
PyObject* forest_near_neighbors(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const std::uint64_t top_k = c.args.convert_or(1, to_count, std::uint64_t{10});
    const std::uint64_t percentile = c.args.convert_or(2, to_count, std::uint64_t{50});
    const Forest& f = c.state();
    const std::vector<rcf::Neighbor> found =
        unwrap(c.compute([&] { return rcf::near_neighbors(f, point, top_k, percentile); }));
    ListBuilder list(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        DictBuilder d;
        d.set("score", to_py(found[i].score));
        d.set("point", to_py(found[i].point));
        d.set("distance", to_py(found[i].distance));
        list.set(i, d.release());
    }
    return list.release();
}
PyObject* forest_impute(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const std::vector<std::uint64_t> missing = c.args.convert(1, to_index_list);
    const double centrality = c.args.convert_or(2, to_float, 1.0);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::impute(f, point, missing, centrality); })));
}
PyObject* forest_extrapolate(ForestCall& c) {
    const std::uint64_t look_ahead = c.args.convert(0, to_count);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::extrapolate(f, look_ahead); })));
}

constexpr const char* kClassDoc =
    "Forest(input_dim, shingle_size=1, num_trees=50, capacity=256, time_decay=0.0, output_after=0, "
    "internal_shingling=True, initial_accept_fraction=0.125, seed=None)\n--\n\n"
    "A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage.\n\nParameters\n----------\n"
    "input_dim : int\n    Number of features per observation (before shingling).\n"
    "shingle_size : int, optional\n    Temporal window size (default 1, no shingling).\n"
    "num_trees : int, optional\n    Number of trees in the ensemble (default 50).\n"
    "capacity : int, optional\n    Maximum samples per tree (default 256).\n"
    "time_decay : float, optional\n    Finite non-negative exponential decay for sample weights\n"
    "    (default 0 = auto).\n"
    "output_after : int, optional\n    Minimum observations before scoring starts (default 0 = auto).\n"
    "internal_shingling : bool, optional\n    When True, pass one base observation at a time and the forest\n"
    "    maintains the rolling shingle buffer (default True).\n"
    "initial_accept_fraction : float, optional\n    Finite value in [0.0, 1.0] controlling warm-up sampler acceptance\n"
    "    before capacity (default 0.125).\n"
    "seed : int, optional\n    Random seed for deterministic forests.";

constexpr Method<Forest> kNew{
    {"__new__",
     {"input_dim", "shingle_size", "num_trees", "capacity", "time_decay", "output_after", "internal_shingling",
      "initial_accept_fraction", "seed"},
     9, 1, Access::None, Gil::Keep, nullptr},
    forest_new};

constexpr Method<Forest> kUpdate{
    {"update", {"point"}, 1, 1, Access::Write, Gil::Release,
     "update($self, point)\n--\n\nIncorporate a new observation into the forest.\n\n"
     "When `internal_shingling` is True, pass one base observation of length\n"
     "`input_dim`. Otherwise pass the full shingled vector of length\n`input_dim * shingle_size`."},
    forest_update};
constexpr Method<Forest> kUpdateAndScore{
    {"update_and_score", {"point"}, 1, 1, Access::Write, Gil::Release,
     "update_and_score($self, point)\n--\n\nIngest an observation and return its anomaly score.\n\n"
     "This has the same behavior as calling `score(point)` first and then\n"
     "`update(point)` with the same observation."},
    forest_update_and_score};
constexpr Method<Forest> kScore{
    {"score", {"point"}, 1, 1, Access::Read, Gil::Release,
     "score($self, point)\n--\n\nAnomaly score for `point`. Higher means more anomalous."},
    forest_score};

constexpr Method<Forest> kUpdateMany = batch::update_many_row<Forest>(
    "update_many($self, points)\n--\n\nIncorporate every row of `points`, in order, as `update()` does.\n\n"
    "`points` is a 2-D array (float32, float64 or integers, any memory layout)\n"
    "or a sequence of rows, one observation (or one full point) per row.\n"
    "Every row is checked before the first is applied: a refused batch\n"
    "changes nothing and names the row.");
constexpr Method<Forest> kScoreMany = batch::score_many_row<Forest>(
    "score_many($self, points)\n--\n\nAnomaly score of every row of `points`, as `score()` gives it.\n\n"
    "Returns an `array.array('d')` with one score per row.");
constexpr Method<Forest> kUpdateAndScoreMany = batch::update_and_score_many_row<Forest>(
    "update_and_score_many($self, points)\n--\n\nIngest every row of `points` in order and return their scores.\n\n"
    "The same as `update_and_score()` on each row in turn, in one call;\n"
    "returns an `array.array('d')` with one score per row. Every row is\n"
    "checked before the first is applied.");

constexpr Method<Forest> kNumTrees{
    {"num_trees", {}, 0, 0, Access::Read, Gil::Keep, "num_trees($self)\n--\n\nNumber of trees in the ensemble."},
    forest_num_trees};
constexpr Method<Forest> kEntriesSeen{
    {"entries_seen", {}, 0, 0, Access::Read, Gil::Keep,
     "entries_seen($self)\n--\n\nNumber of observations processed so far."},
    forest_entries_seen};
constexpr Method<Forest> kIsReady{
    {"is_ready", {}, 0, 0, Access::Read, Gil::Keep,
     "is_ready($self)\n--\n\nReturn True once scoring functions return meaningful values."},
    forest_is_ready};

constexpr Method<Forest> kDisplacementScore{
    {"displacement_score", {"point"}, 1, 1, Access::Read, Gil::Release,
     "displacement_score($self, point)\n--\n\nDisplacement-based anomaly score."},
    forest_displacement_score};
constexpr Method<Forest> kAttribution{
    {"attribution", {"point"}, 1, 1, Access::Read, Gil::Release,
     "attribution($self, point)\n--\n\nPer-dimension attribution of the anomaly score.\n\n"
     "Returns a list of length `input_dim * shingle_size`."},
    forest_attribution};
constexpr Method<Forest> kDensity{
    {"density", {"point"}, 1, 1, Access::Read, Gil::Release,
     "density($self, point)\n--\n\nDensity estimate at `point`. Higher means a denser neighbourhood."},
    forest_density};
constexpr Method<Forest> kNearNeighbors{
    {"near_neighbors", {"point", "top_k", "percentile"}, 3, 1, Access::Read, Gil::Release,
     "near_neighbors($self, point, top_k=10, percentile=50)\n--\n\nFind approximate near-neighbours of `point`.\n\n"
     "`percentile` controls per-tree traversal aggressiveness in `[0, 100]`;\n"
     "lower values visit more branches and usually return more candidates.\n"
     "Returns a list sorted by distance, with duplicate points across trees\n"
     "merged by point index. At most `top_k` results are returned."},
    forest_near_neighbors};
constexpr Method<Forest> kImpute{
    {"impute", {"point", "missing", "centrality"}, 3, 2, Access::Read, Gil::Release,
     "impute($self, point, missing, centrality=1.0)\n--\n\nImpute the `missing` positions of `point`.\n\n"
     "`point` must have the full dimensionality (`input_dim * shingle_size`).\n"
     "Values at `missing` indices are ignored; the returned list fills them\n"
     "with the median of the nearest-neighbour estimates across all trees.\n"
     "When `centrality = 1.0`, the nearest neighbour in each tree is selected\n"
     "deterministically; lower values introduce randomness."},
    forest_impute};
constexpr Method<Forest> kExtrapolate{
    {"extrapolate", {"look_ahead"}, 1, 1, Access::Read, Gil::Release,
     "extrapolate($self, look_ahead)\n--\n\n"
     "Predict the next `look_ahead` base observations beyond the current shingle buffer.\n\n"
     "Requires `internal_shingling = True`, `shingle_size > 1`, and\n"
     "`look_ahead <= shingle_size`. Returns a list of length\n`look_ahead * input_dim`."},
    forest_extrapolate};

constexpr Method<Forest> kToJson =
    persistence::to_json_row<Forest>("to_json($self)\n--\n\nSerialize the entire forest state to a JSON string.");
constexpr Method<Forest> kFromJson = persistence::from_json_row<Forest>(
    "from_json(json)\n--\n\nDeserialize a forest from a JSON string previously written by `to_json()`.");
constexpr Method<Forest> kToBytes = persistence::to_bytes_row<Forest>(
    "to_bytes($self)\n--\n\nSerialize the entire forest state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is several times smaller and faster than `to_json()`.");
constexpr Method<Forest> kFromBytes = persistence::from_bytes_row<Forest>(
    "from_bytes(data)\n--\n\nDeserialize a forest from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.");
constexpr Method<Forest> kSaveJson =
    persistence::save_json_row<Forest>("save_json($self, path)\n--\n\nSerialize the entire forest state to a JSON file.");
constexpr Method<Forest> kLoadJson = persistence::load_json_row<Forest>(
    "load_json(path)\n--\n\nDeserialize a forest from a JSON file previously written by `save_json()`.");
constexpr Method<Forest> kCopy = persistence::copy_row<Forest>();
constexpr Method<Forest> kDeepCopy = persistence::deepcopy_row<Forest>();
constexpr Method<Forest> kGetState = persistence::getstate_row<Forest>();
constexpr Method<Forest> kSetState = persistence::setstate_row<Forest>();
constexpr Method<Forest> kGetNewArgs = persistence::getnewargs_row<Forest>();

PyMethodDef kMethods[] = {
    method_def<Forest, kUpdate>(),
    method_def<Forest, kUpdateAndScore>(),
    method_def<Forest, kScore>(),
    method_def<Forest, kUpdateMany>(),
    method_def<Forest, kScoreMany>(),
    method_def<Forest, kUpdateAndScoreMany>(),
    method_def<Forest, kIsReady>(),
    method_def<Forest, kEntriesSeen>(),
    method_def<Forest, kNumTrees>(),
    method_def<Forest, kDisplacementScore>(),
    method_def<Forest, kAttribution>(),
    method_def<Forest, kDensity>(),
    method_def<Forest, kNearNeighbors>(),
    method_def<Forest, kImpute>(),
    method_def<Forest, kExtrapolate>(),
    method_def<Forest, kToJson>(),
    method_def<Forest, kFromJson>(),
    method_def<Forest, kToBytes>(),
    method_def<Forest, kFromBytes>(),
    method_def<Forest, kSaveJson>(),
    method_def<Forest, kLoadJson>(),
    method_def<Forest, kCopy>(),
    method_def<Forest, kDeepCopy>(),
    method_def<Forest, kGetState>(),
    method_def<Forest, kSetState>(),
    method_def<Forest, kGetNewArgs>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* forest_class() {
    return class_object<Forest, kNew, forest_repr>("Forest", "tarn.tarn.Forest", kClassDoc, kMethods);
}

} // namespace tarn::frame
