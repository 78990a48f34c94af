// The Forest class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/table.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/forest/impute.hpp"
#include "rcf/forest/query.hpp"

namespace tarn::frame {

// Unpickling calls the constructor with these before __setstate__.
template <>
struct NewArgs<rcf::Forest> {
    static std::array<std::uint64_t, 1> of(const rcf::Forest& f) { return {f.config().input_dim}; }
};

template <>
struct Batch<rcf::Forest> : PointBatch<rcf::Forest, &rcf::Forest::check_update> {};

namespace {

using rcf::Forest;
using rcf::RcfConfig;
using ForestCall = Call<Forest>;

// A list with one dict per entry, each filled by fill(dict, entry).
template <class T, class Fill>
PyObject* list_of_dicts(const std::vector<T>& entries, Fill fill) {
    ListBuilder list(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        DictBuilder d;
        fill(d, entries[i]);
        list.set(i, d.release());
    }
    return list.release();
}

// Queries: convert with the lock held, compute without it on the shared
// borrow, build the result with the lock back. First those of one point
// that return a number.
template <auto Query>
PyObject* point_query(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return Query(f, point); })));
}

PyObject* forest_attribution(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const Forest& f = c.state();
    const std::vector<rcf::AttributionEntry> entries = unwrap(c.compute([&] { return rcf::attribution(f, point); }));
    return list_of_dicts(entries, [](DictBuilder& d, const rcf::AttributionEntry& e) {
        d.set("below", to_py(e.below));
        d.set("above", to_py(e.above));
    });
}
PyObject* forest_near_neighbors(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const std::uint64_t top_k = c.args.convert(1, to_count);
    const std::uint64_t percentile = c.args.convert(2, to_count);
    const Forest& f = c.state();
    const std::vector<rcf::Neighbor> found =
        unwrap(c.compute([&] { return rcf::near_neighbors(f, point, top_k, percentile); }));
    return list_of_dicts(found, [](DictBuilder& d, const rcf::Neighbor& n) {
        d.set("score", to_py(n.score));
        d.set("point", to_py(n.point));
        d.set("distance", to_py(n.distance));
    });
}
PyObject* forest_impute(ForestCall& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const std::vector<std::uint64_t> missing = c.args.convert(1, to_index_list);
    const double centrality = c.args.convert(2, to_float);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::impute(f, point, missing, centrality); })));
}
PyObject* forest_extrapolate(ForestCall& c) {
    const std::uint64_t look_ahead = c.args.convert(0, to_count);
    const Forest& f = c.state();
    return to_py(unwrap(c.compute([&] { return rcf::extrapolate(f, look_ahead); })));
}

constexpr Method<Forest> kNew = constructor<Forest, &RcfConfig::input_dim, &RcfConfig::shingle_size,
                                            &RcfConfig::num_trees, &RcfConfig::capacity, &RcfConfig::time_decay,
                                            &RcfConfig::output_after, &RcfConfig::internal_shingling,
                                            &RcfConfig::initial_accept_fraction>(
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
    "seed : int, optional\n    Random seed for deterministic forests.");

constexpr auto kRows = table<Forest>(
    "to_json($self)\n--\n\nSerialize the entire forest state to a JSON string.",
    "from_json(json)\n--\n\nDeserialize a forest from a JSON string previously written by `to_json()`.",
    "to_bytes($self)\n--\n\nSerialize the entire forest state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is several times smaller and faster than `to_json()`.",
    "from_bytes(data)\n--\n\nDeserialize a forest from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.",
    "save_json($self, path)\n--\n\nSerialize the entire forest state to a JSON file.",
    "load_json(path)\n--\n\nDeserialize a forest from a JSON file previously written by `save_json()`.",
    "update($self, point)\n--\n\nIncorporate a new observation into the forest.\n\n"
    "When `internal_shingling` is True, pass one base observation of length\n"
    "`input_dim`. Otherwise pass the full shingled vector of length\n`input_dim * shingle_size`.",
    "update_and_score($self, point)\n--\n\nIngest an observation and return its anomaly score.\n\n"
    "This has the same behavior as calling `score(point)` first and then\n"
    "`update(point)` with the same observation.",
    "score($self, point)\n--\n\nAnomaly score for `point`. Higher means more anomalous.",
    "update_many($self, points)\n--\n\nIncorporate every row of `points`, in order, as `update()` does.\n\n"
    "`points` is a 2-D array (float32, float64 or integers, any memory layout)\n"
    "or a sequence of rows, one observation (or one full point) per row.\n"
    "Every row is checked before the first is applied: a refused batch\n"
    "changes nothing and names the row.",
    "score_many($self, points)\n--\n\nAnomaly score of every row of `points`, as `score()` gives it.\n\n"
    "Returns an `array.array('d')` with one score per row.",
    "update_and_score_many($self, points)\n--\n\nIngest every row of `points` in order and return their scores.\n\n"
    "The same as `update_and_score()` on each row in turn, in one call;\n"
    "returns an `array.array('d')` with one score per row. Every row is\n"
    "checked before the first is applied.",
    "is_ready($self)\n--\n\nReturn True once scoring functions return meaningful values.",
    "entries_seen($self)\n--\n\nNumber of observations processed so far.",
    "num_trees($self)\n--\n\nNumber of trees in the ensemble.",
    method<Forest>("displacement_score($self, point)\n--\n\nDisplacement-based anomaly score.", Access::Read,
                   Gil::Release, point_query<rcf::displacement_score>),
    method<Forest>("attribution($self, point)\n--\n\nPer-dimension attribution of the anomaly score.\n\n"
                   "Returns a list of length `input_dim * shingle_size`.",
                   Access::Read, Gil::Release, forest_attribution),
    method<Forest>("density($self, point)\n--\n\nDensity estimate at `point`. Higher means a denser neighbourhood.",
                   Access::Read, Gil::Release, point_query<rcf::density>),
    method<Forest>(
        "near_neighbors($self, point, top_k=10, percentile=50)\n--\n\nFind approximate near-neighbours of `point`.\n\n"
        "`percentile` controls per-tree traversal aggressiveness in `[0, 100]`;\n"
        "lower values visit more branches and usually return more candidates.\n"
        "Returns a list sorted by distance, with duplicate points across trees\n"
        "merged by point index. At most `top_k` results are returned.",
        Access::Read, Gil::Release, forest_near_neighbors),
    method<Forest>("impute($self, point, missing, centrality=1.0)\n--\n\nImpute the `missing` positions of `point`.\n\n"
                   "`point` must have the full dimensionality (`input_dim * shingle_size`).\n"
                   "Values at `missing` indices are ignored; the returned list fills them\n"
                   "with the median of the nearest-neighbour estimates across all trees.\n"
                   "When `centrality = 1.0`, the nearest neighbour in each tree is selected\n"
                   "deterministically; lower values introduce randomness.",
                   Access::Read, Gil::Release, forest_impute),
    method<Forest>("extrapolate($self, look_ahead)\n--\n\n"
                   "Predict the next `look_ahead` base observations beyond the current shingle buffer.\n\n"
                   "Requires `internal_shingling = True`, `shingle_size > 1`, and\n"
                   "`look_ahead <= shingle_size`. Returns a list of length\n`look_ahead * input_dim`.",
                   Access::Read, Gil::Release, forest_extrapolate));

} // namespace

PyObject* forest_class() { return class_object<Forest, kNew, kRows>("tarn.tarn.Forest"); }

} // namespace tarn::frame
