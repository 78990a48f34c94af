// The Forest class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "frame/persistence.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/forest/state.hpp"

namespace tarn::frame {

template <>
struct StateFormat<rcf::Forest> {
    static core::Result<std::string> write(const rcf::Forest& f) { return rcf::forest_to_json(f); }
    static core::Result<rcf::Forest> read(std::string_view text) { return rcf::forest_from_json(text); }
    static PyObject* newargs(const rcf::Forest& f) {
        Ref input_dim(to_py(f.config().input_dim));
        return check(PyTuple_Pack(1, input_dim.get()));
    }
};

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

constexpr Method<Forest> kToJson =
    persistence::to_json_row<Forest>("to_json($self)\n--\n\nSerialize the entire forest state to a JSON string.");
constexpr Method<Forest> kFromJson = persistence::from_json_row<Forest>(
    "from_json(json)\n--\n\nDeserialize a forest from a JSON string previously written by `to_json()`.");
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
    method_def<Forest, kIsReady>(),
    method_def<Forest, kEntriesSeen>(),
    method_def<Forest, kNumTrees>(),
    method_def<Forest, kToJson>(),
    method_def<Forest, kFromJson>(),
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
