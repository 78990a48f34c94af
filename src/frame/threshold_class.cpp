// The Threshold class of tarn.alerts: its method table, docstrings and
// argument handling.
#include <array>
#include <string>
#include <vector>

#include "alerts/threshold.hpp"
#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/table.hpp"

namespace tarn::frame {

namespace {

using alerts::Threshold;
using alerts::ThresholdConfig;
using ThresholdCall = Call<Threshold>;

[[noreturn]] void raise_value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    throw PyErrorSet{};
}

// An integer >= 0 (a negative one is a ValueError, like the other argument checks).
std::uint64_t to_warmup(PyObject* o) {
    Ref index(check(PyNumber_Index(o)));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow < 0 || (overflow == 0 && v < 0)) raise_value_error("warmup must be >= 0");
    return overflow == 0 ? static_cast<std::uint64_t>(v) : to_count(index.get());
}

std::optional<double> to_half_life(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return to_float(o);
}

PyObject* alert_to_py(const alerts::Alert& a) {
    Ref flag(to_py(a.is_alert));
    Ref grade(check(to_py(a.grade)));
    return check(PyTuple_Pack(2, flag.get(), grade.get()));
}

PyObject* threshold_update(ThresholdCall& c) {
    const double score = c.args.convert(0, to_float);
    Threshold& t = c.state();
    return alert_to_py(unwrap(c.compute([&] { return t.update(score); })));
}

PyObject* threshold_preview(ThresholdCall& c) {
    const double score = c.args.convert(0, to_float);
    const Threshold& t = c.state();
    return alert_to_py(unwrap(t.preview(score)));
}

PyObject* threshold_update_many(ThresholdCall& c) {
    const std::vector<double> scores = c.args.convert(0, to_number_list);
    std::vector<std::int8_t> flags(scores.size());
    std::vector<double> grades(scores.size());
    Threshold& t = c.state();
    unwrap(c.compute([&] { return t.update_many(scores, flags, grades); }));
    Ref flag_array(to_array("b", flags.data(), flags.size()));
    Ref grade_array(to_array("d", grades.data(), grades.size() * sizeof(double)));
    return check(PyTuple_Pack(2, flag_array.get(), grade_array.get()));
}

constexpr Method<Threshold> kNew =
    constructor<Threshold, &ThresholdConfig::rate, field<&ThresholdConfig::warmup, to_warmup>,
                field<&ThresholdConfig::half_life, to_half_life>, &ThresholdConfig::relative_accuracy>(
        "Threshold(rate=0.001, warmup=1000, half_life=None, relative_accuracy=0.01)\n--\n\n"
        "Calibrated streaming threshold: turns any detector's scores into a grade\n"
        "and an alert at a chosen false-alarm rate.\n\n"
        "The grade of a score is its tail rank among the scores before it:\n"
        "1 - (weight of earlier scores >= score) / (total weight), in [0, 1]. A\n"
        "score alerts when at least `warmup` scores came before it and its grade\n"
        "is >= 1 - rate. Each score is added after it has been graded, so a\n"
        "stream of identical scores never alerts.\n\n"
        "Scores are kept in logarithmic buckets (one for zero, mirrored ones for\n"
        "negative scores, +inf above and -inf below everything), at most 2048 of\n"
        "them, merging the lowest when more are needed. A score's own bucket counts\n"
        "as at or above it, so the grade lies between the exact grade of the\n"
        "score and the exact grade of its bucket's lower edge, which is within a\n"
        "factor gamma = (1 + relative_accuracy) / (1 - relative_accuracy) of the\n"
        "score: grades err only toward fewer alerts. Scores in the merged lowest\n"
        "bucket (only when 2048 buckets do not span the stream) are graded\n"
        "coarsely.\n\n"
        "Parameters\n----------\n"
        "rate : float, optional\n    Target share of alerting scores, in (0, 1) (default 0.001).\n"
        "warmup : int, optional\n    Scores seen before the first alert, >= 0 (default 1000).\n"
        "half_life : float or None, optional\n"
        "    If given (> 0, in scores), an earlier score of age k weighs 2^(-k / half_life),\n"
        "    so the threshold follows a drifting stream; half-lives below 1/512 act as\n"
        "    1/512. None (default): every score weighs 1.\n"
        "relative_accuracy : float, optional\n"
        "    Relative width of the buckets, in (0, 1) and at least 1e-9 (default 0.01).");

constexpr auto kRows = table<Threshold>(
    "to_json($self)\n--\n\nSerialize the threshold state to JSON.",
    "from_json(json)\n--\n\nDeserialize threshold state from a JSON string previously written by `to_json()`.",
    "to_bytes($self)\n--\n\nSerialize the threshold state to compact binary bytes.\n\n"
    "The versioned little-endian layout is read back exactly by `from_bytes()`.",
    "from_bytes(data)\n--\n\nRebuild a threshold from bytes previously written by `to_bytes()`.\n\n"
    "`data` may be bytes, bytearray, memoryview or any contiguous byte buffer.",
    "save_json($self, path)\n--\n\nSerialize the threshold state to a JSON file.",
    "load_json(path)\n--\n\nDeserialize threshold state from a JSON file previously written by `save_json()`.",
    method<Threshold>("update($self, score)\n--\n\n"
                      "Grade a score against the earlier ones, then add it.\n\n"
                      "Returns (is_alert, grade). NaN is refused with ValueError and changes nothing.",
                      Access::Write, Gil::Keep, threshold_update),
    method<Threshold>("preview($self, score)\n--\n\n"
                      "Return what update(score) would return now, without adding the score.\n\n"
                      "Returns (is_alert, grade); nothing changes. NaN is refused with ValueError.",
                      Access::Read, Gil::Keep, threshold_preview),
    method<Threshold>("update_many($self, scores)\n--\n\n"
                      "Grade and add a batch of scores, exactly as a loop of update().\n\n"
                      "scores is a sequence of floats or a one-dimensional float buffer (array('d'),\n"
                      "a numpy array). Returns (flags, grades): array('b') of 0/1 and array('d'),\n"
                      "one entry per score. A NaN anywhere is refused with ValueError before any\n"
                      "score is added.",
                      Access::Write, Gil::Release, threshold_update_many),
    method<Threshold>("threshold($self)\n--\n\n"
                      "Return the smallest score that would alert now.\n\n"
                      "None during warm-up, and when no score can alert (more than `rate` of the\n"
                      "weight sits at +inf).",
                      Access::Read, Gil::Keep, getter<&Threshold::threshold>),
    method<Threshold>("count($self)\n--\n\nReturn the number of scores added.", Access::Read, Gil::Keep,
                      getter<&Threshold::count>));

} // namespace

PyObject* threshold_class() { return class_object<Threshold, kNew, kRows>("tarn.alerts.Threshold"); }

} // namespace tarn::frame
