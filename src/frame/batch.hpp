// Batch methods, once for every class: update_many, score_many and
// update_and_score_many take a whole batch of records in one call.
//
// A class describes its batch by specialising Batch for its state type S:
//
//   template <> struct Batch<rcf::Forest> {
//       struct Input { ... };                             // the converted batch
//       static Input convert(const Bound&, const S&);     // lock held
//       static std::size_t size(const Input&);
//       // The checks of a loop of update() over every row, changing nothing
//       // (run before the first row is applied):
//       static RowStatus check_updates(const S&, const Input&);
//       static core::Status update(S&, const Input&, std::size_t row);
//       static core::Result<double> score(const S&, const Input&, std::size_t row);
//       static core::Result<double> update_and_score(S&, const Input&, std::size_t row);
//       // Optional: every row at once, after check_updates passed, each
//       // row's score into scores[row] unless scores is empty (update_many).
//       // A class that gives it needs no update and update_and_score.
//       static RowStatus apply_all(S&, const Input&, std::span<double> scores);
//   };
//
// and declares the three methods in its table (table.hpp) by their
// docstrings, whose text signatures declare the batch arguments
// ("update_many($self, points)\n--\n\n...").
//
// A batch is exactly the loop of the single-record method over its rows:
// the same scores and the same state afterwards. It takes one borrow for
// the whole batch and releases the interpreter lock once. A refused row
// fails with the single-record error prefixed by "row i: ", before any row
// is applied.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/key_value.hpp"
#include "frame/frame.hpp"

namespace tarn::frame {

// The rows of a 2-D batch argument, stored one after another.
template <class T>
struct Rows {
    std::vector<T> values;
    std::vector<std::size_t> starts{0}; // row i is values[starts[i], starts[i + 1])

    std::size_t size() const { return starts.size() - 1; }
    std::span<const T> operator[](std::size_t i) const {
        return {values.data() + starts[i], starts[i + 1] - starts[i]};
    }
};

// Batch conversions. A 2-D argument is an object exporting the buffer
// protocol (float32, float64 or integer elements for numbers, integer
// elements for categories; any strides), an object with __array__ giving
// one, or a sequence of rows, each accepted as the single-record method
// accepts one. A conversion failure inside row i carries "row i: ".
Rows<float> to_point_rows(PyObject* o);
Rows<double> to_numeric_rows(PyObject* o);
Rows<std::int64_t> to_categorical_rows(PyObject* o);
std::vector<std::uint64_t> to_timestamps(PyObject* o);  // 1-D, integers
std::vector<core::KeyValueLike> to_events(PyObject* o); // any iterable of events
// A 1-D list of numbers: an array (float or integer elements, any strides)
// or a sequence of floats, as one record's numeric values.
std::vector<double> to_number_list(PyObject* o);

// The failure of one row of a batch.
struct RowError {
    std::size_t row;
    core::DetectorError error;
};
using RowStatus = std::expected<void, RowError>;
template <class T>
using RowResult = std::expected<T, RowError>;

// The single-record error of the row, prefixed by "row i: ".
[[noreturn]] void raise_row_error(const RowError& e);

template <class T>
T unwrap(RowResult<T>&& r) {
    if (!r) raise_row_error(r.error());
    return std::move(*r);
}
inline void unwrap(RowStatus&& r) {
    if (!r) raise_row_error(r.error());
}

// Calls f(i) for rows 0..n-1 in order, stopping at the first failure.
// f returns core::Status, or core::Result<double> whose values go to *scores.
template <class F>
RowStatus each_row(std::size_t n, F f, std::vector<double>* scores = nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
        auto r = f(i);
        if (!r) return std::unexpected(RowError{i, std::move(r.error())});
        if constexpr (!std::is_void_v<typename decltype(r)::value_type>) scores->push_back(*r);
    }
    return {};
}

// The scores as an array.array('d').
PyObject* to_score_array(const std::vector<double>& scores);
// array(typecode) holding the given bytes.
PyObject* to_array(const char* typecode, const void* data, std::size_t bytes);

template <class S>
struct Batch; // specialised per state type, see above

// Whether Batch B applies all rows of a checked batch at once (apply_all).
template <class B, class S>
concept AppliesAll = requires(S& s, const typename B::Input& in, std::span<double> scores) {
    { B::apply_all(s, in, scores) } -> std::same_as<RowStatus>;
};

// The batch of a detector fed one point per record, whose `Check` makes the
// checks of update() (they do not depend on the state).
template <class S, core::Status (S::*Check)(std::span<const float>) const>
struct PointBatch {
    using Input = Rows<float>;
    static Input convert(const Bound& a, const S&) { return a.convert(0, to_point_rows); }
    static std::size_t size(const Input& in) { return in.size(); }
    static RowStatus check_updates(const S& s, const Input& in) {
        return each_row(in.size(), [&](std::size_t i) { return (s.*Check)(in[i]); });
    }
    static core::Status update(S& s, const Input& in, std::size_t i) { return s.update(in[i]); }
    static core::Result<double> score(const S& s, const Input& in, std::size_t i) { return s.score(in[i]); }
    static core::Result<double> update_and_score(S& s, const Input& in, std::size_t i) {
        return s.update_and_score(in[i]);
    }
};

namespace batch {

template <class S>
PyObject* update_many(Call<S>& c) {
    using B = Batch<S>;
    const typename B::Input in = B::convert(c.args, c.state());
    S& s = c.state();
    unwrap(c.compute([&]() -> RowStatus {
        if (auto ok = B::check_updates(s, in); !ok) return ok;
        if constexpr (AppliesAll<B, S>) {
            return B::apply_all(s, in, {});
        } else {
            return each_row(B::size(in), [&](std::size_t i) { return B::update(s, in, i); });
        }
    }));
    return none();
}

template <class S>
PyObject* score_many(Call<S>& c) {
    using B = Batch<S>;
    const typename B::Input in = B::convert(c.args, c.state());
    const S& s = c.state();
    std::vector<double> scores;
    scores.reserve(B::size(in));
    // Scoring changes nothing, so the first refused row can stop the loop.
    unwrap(c.compute([&] {
        return each_row(
            B::size(in), [&](std::size_t i) { return B::score(s, in, i); }, &scores);
    }));
    return to_score_array(scores);
}

template <class S>
PyObject* update_and_score_many(Call<S>& c) {
    using B = Batch<S>;
    const typename B::Input in = B::convert(c.args, c.state());
    S& s = c.state();
    std::vector<double> scores;
    if constexpr (AppliesAll<B, S>) {
        scores.resize(B::size(in));
    } else {
        scores.reserve(B::size(in));
    }
    unwrap(c.compute([&]() -> RowStatus {
        if (auto ok = B::check_updates(s, in); !ok) return ok;
        if constexpr (AppliesAll<B, S>) {
            return B::apply_all(s, in, scores);
        } else {
            return each_row(
                B::size(in), [&](std::size_t i) { return B::update_and_score(s, in, i); }, &scores);
        }
    }));
    return to_score_array(scores);
}

} // namespace batch
} // namespace tarn::frame
