// The three single-record methods of the detectors that take one point (a
// sequence of floats) per call: Forest and OnlineIForest. Each converts with
// the lock held and computes without it, as every method does.
#pragma once

#include <vector>

#include "frame/frame.hpp"

namespace tarn::frame::point_methods {

template <class S>
PyObject* update(Call<S>& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    S& s = c.state();
    unwrap(c.compute([&] { return s.update(point); }));
    return none();
}

template <class S>
PyObject* score(Call<S>& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    const S& s = c.state();
    return to_py(unwrap(c.compute([&] { return s.score(point); })));
}

template <class S>
PyObject* update_and_score(Call<S>& c) {
    const std::vector<float> point = c.args.convert(0, to_point);
    S& s = c.state();
    return to_py(unwrap(c.compute([&] { return s.update_and_score(point); })));
}

} // namespace tarn::frame::point_methods
