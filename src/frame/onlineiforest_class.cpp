// The OnlineIForest class: its method table, docstrings and argument handling.
#include <string>
#include <vector>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/table.hpp"
#include "onlineiforest/detector.hpp"

namespace tarn::frame {

// Unpickling calls the constructor with these before __setstate__.
template <>
struct NewArgs<onlineiforest::OnlineIForest> {
    static std::array<std::uint64_t, 1> of(const onlineiforest::OnlineIForest& f) { return {f.config().input_dim}; }
};

template <>
struct Batch<onlineiforest::OnlineIForest>
    : PointBatch<onlineiforest::OnlineIForest, &onlineiforest::OnlineIForest::check_point> {};

namespace {

using onlineiforest::OnlineIForest;
using onlineiforest::OnlineIForestConfig;

constexpr Method<OnlineIForest> kNew =
    constructor<OnlineIForest, &OnlineIForestConfig::input_dim, &OnlineIForestConfig::num_trees,
                &OnlineIForestConfig::window_size, &OnlineIForestConfig::max_leaf_samples>(
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
        "seed : int, optional\n    Random seed for deterministic trees.");

constexpr auto kRows = table<OnlineIForest>(
    "to_json($self)\n--\n\nSerialize detector state to JSON.",
    "from_json(json)\n--\n\nDeserialize detector state from JSON previously written by `to_json()`.",
    "to_bytes($self)\n--\n\nSerialize the complete detector state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`;\n"
    "it is smaller and faster than `to_json()`.",
    "from_bytes(data)\n--\n\nRebuild a detector from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.",
    "save_json($self, path)\n--\n\nSerialize detector state to a JSON file.",
    "load_json(path)\n--\n\nDeserialize detector state from a JSON file previously written by `save_json()`.",
    "update($self, point)\n--\n\nIngest a point without returning its score.",
    "update_and_score($self, point)\n--\n\n"
    "Ingest a point and return its anomaly score under the updated forest.\n\n"
    "This has the same behavior as calling `update(point)` first and then\n"
    "`score(point)` with the same point. This update-then-score order is\n"
    "specific to Online Isolation Forest.",
    "score($self, point)\n--\n\n"
    "Preview the current anomaly score for `point` without mutating state.\n\n"
    "This can differ from `update_and_score()` because the preview is\n"
    "computed before `point` is learned by the forest, unlike the\n"
    "preview-style scoring semantics used by the other detectors. By\n"
    "contrast, `update_and_score(point)` returns the same value as calling\n"
    "`update(point)` and then `score(point)`.\n\n"
    "Calling this before `is_ready()` is allowed, but the value is not a\n"
    "stable anomaly estimate yet.",
    "update_many($self, points)\n--\n\nIngest every row of `points`, in order, as `update()` does.\n\n"
    "`points` is a 2-D array (float32, float64 or integers, any memory layout)\n"
    "or a sequence of rows, one point per row. Every row is checked before\n"
    "the first is applied: a refused batch changes nothing and names the row.",
    "score_many($self, points)\n--\n\nPreview the anomaly score of every row of `points`, as `score()` does.\n\n"
    "Returns an `array.array('d')` with one score per row.",
    "update_and_score_many($self, points)\n--\n\nIngest every row of `points` in order and return their scores.\n\n"
    "The same as `update_and_score()` on each row in turn, in one call;\n"
    "returns an `array.array('d')` with one score per row. Every row is\n"
    "checked before the first is applied.",
    "is_ready($self)\n--\n\nReturn True once at least one point has been processed.",
    "entries_seen($self)\n--\n\nNumber of points processed so far.",
    "num_trees($self)\n--\n\nNumber of trees in the ensemble.");

} // namespace

PyObject* onlineiforest_class() { return class_object<OnlineIForest, kNew, kRows>("tarn.tarn.OnlineIForest"); }

} // namespace tarn::frame
