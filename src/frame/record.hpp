// The single-record methods, once for every detector: update, score and
// update_and_score take one record, convert it with the lock held and
// compute without it, as every method does.
//
// A class describes its record by specialising Record for its state type S:
//
//   template <> struct Record<mstream::MStream> {
//       // The converted arguments, in the order the state's methods take them.
//       static std::tuple<...> convert(const Bound&);
//   };
//
// A state whose update() takes one point (a sequence of floats) needs none:
// its record is that point.
#pragma once

#include <span>
#include <tuple>
#include <vector>

#include "frame/frame.hpp"

namespace tarn::frame {

template <class S>
struct Record; // specialised per state type, see above

template <class S>
concept PointState = requires(S& s, std::span<const float> point) { s.update(point); };

template <PointState S>
struct Record<S> {
    static std::tuple<std::vector<float>> convert(const Bound& a) { return {a.convert(0, to_point)}; }
};

template <class S>
concept HasRecord = requires(const Bound& a) { Record<S>::convert(a); };

namespace record {

// Converts the record with the lock held, then runs method(state, record...)
// without it; M is const S for the methods that only read.
template <class M, class S, class Method>
auto on_record(Call<S>& c, Method method) {
    const auto record = Record<S>::convert(c.args);
    M& s = c.state();
    return unwrap(
        c.compute([&] { return std::apply([&](const auto&... fields) { return method(s, fields...); }, record); }));
}

template <class S>
PyObject* update(Call<S>& c) {
    on_record<S>(c, [](S& s, const auto&... record) { return s.update(record...); });
    return none();
}

template <class S>
PyObject* score(Call<S>& c) {
    return to_py(on_record<const S>(c, [](const S& s, const auto&... record) { return s.score(record...); }));
}

template <class S>
PyObject* update_and_score(Call<S>& c) {
    return to_py(on_record<S>(c, [](S& s, const auto&... record) { return s.update_and_score(record...); }));
}

} // namespace record
} // namespace tarn::frame
