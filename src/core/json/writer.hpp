// Compact JSON writer streaming into one string.
//
// Members and elements come out in call order with no whitespace. Commas are
// placed automatically: every value, key or container opened after another
// value at the same level gets one. Numbers follow the state-text rules:
// integers in plain decimal; doubles and 32-bit floats in their shortest
// round-trip form, positional when the decimal exponent is in [-5, 15]
// (doubles) or [-6, 12] (floats) and scientific otherwise ("1e-6",
// "1.5e+16"); non-finite values as null.
//
//   Writer w;
//   w.begin_object();
//   w.field("root", tree.root);          // key + value via write(w, v)
//   w.key("bbox"); write_box(w, box);    // or key + anything
//   w.end_object();
//   std::string text = w.take();
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fields.hpp"
#include "core/rng.hpp"

namespace tarn::core::json {

// Longest text format_f64 / format_f32 produce ("-2.2250738585072014e-308").
inline constexpr std::size_t kMaxNumberChars = 32;

// Writes the state-text form of v at out and returns the number of chars.
// Non-finite values give "null".
std::size_t format_f64(char* out, double v);
std::size_t format_f32(char* out, float v);

class Writer {
public:
    Writer() = default;
    explicit Writer(std::size_t reserve) { buf_.resize(reserve); }

    // The finished text; the writer is empty afterwards.
    std::string take();

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    // An object member's key; the next value is its value.
    void key(std::string_view name);

    void u64(std::uint64_t v);
    void i64(std::int64_t v);
    void f64(double v);
    void f32(float v);
    void boolean(bool v);
    void null();
    void string(std::string_view s);

    // key(name) followed by write(*this, v).
    template <class T>
    void field(std::string_view name, const T& v);

    // The alternative-object form {"Name":...}: begin_variant, the
    // alternative's value, end_variant.
    void begin_variant(std::string_view name) {
        begin_object();
        key(name);
    }
    void end_variant() { end_object(); }

    // The n-dimensional array form {"v":1,"dim":[...],"data":[...]}.
    // The caller guarantees data.size() is the product of dim.
    void ndarray(std::span<const std::uint64_t> dim, std::span<const float> data);
    void ndarray(std::span<const std::uint64_t> dim, std::span<const double> data);
    void ndarray(std::span<const std::uint64_t> dim, std::span<const std::uint64_t> data);
    void ndarray(std::span<const std::uint64_t> dim, std::span<const std::int64_t> data);

private:
    char* reserve(std::size_t n) {
        if (buf_.size() - len_ < n) grow(n);
        return buf_.data() + len_;
    }
    void grow(std::size_t n);
    void put(char c) {
        *reserve(1) = c;
        ++len_;
    }
    void separate() {
        if (need_comma_) put(',');
        need_comma_ = true;
    }
    void open(char c) {
        separate();
        put(c);
        need_comma_ = false;
    }
    void close(char c) {
        put(c);
        need_comma_ = true;
    }
    template <class T>
    void ndarray_impl(std::span<const std::uint64_t> dim, std::span<const T> data);

    std::string buf_; // [0, len_) written, the rest is spare room
    std::size_t len_ = 0;
    bool need_comma_ = false;
};

// The value forms shared by every format. A record type gets its own
// write(Writer&, const Record&) in its namespace (found by argument-dependent
// lookup from Writer::field and the container overloads).
inline void write(Writer& w, std::uint64_t v) { w.u64(v); }
inline void write(Writer& w, std::int64_t v) { w.i64(v); }
inline void write(Writer& w, double v) { w.f64(v); }
inline void write(Writer& w, float v) { w.f32(v); }
inline void write(Writer& w, bool v) { w.boolean(v); }
inline void write(Writer& w, std::string_view v) { w.string(v); }
// {"s":[s0,s1,s2,s3]}
void write(Writer& w, const Xoshiro256PlusPlus& g);

template <class T>
void write(Writer& w, const std::vector<T>& v) {
    w.begin_array();
    for (const auto& e : v) write(w, static_cast<const T&>(e));
    w.end_array();
}
template <class T, std::size_t N>
void write(Writer& w, const std::array<T, N>& v) {
    w.begin_array();
    for (const auto& e : v) write(w, e);
    w.end_array();
}
// An absent value is null.
template <class T>
void write(Writer& w, const std::optional<T>& v) {
    if (v) {
        write(w, *v);
    } else {
        w.null();
    }
}

// A shaped member (core/fields.hpp): the n-dimensional array form.
template <class Vec, class ShapeFn>
void write(Writer& w, const Shaped<Vec, ShapeFn>& a) {
    const auto shape = a.shape();
    w.ndarray(std::span<const std::uint64_t>(shape), std::span<const typename Shaped<Vec, ShapeFn>::Element>(a.data));
}

// A described record (core/fields.hpp): an object of its members in list
// order.
template <Described T>
void write(Writer& w, const T& record) {
    w.begin_object();
    Fields<T>::each(record, [&](std::string_view name, const auto& member) { w.field(name, member); });
    w.end_object();
}

template <class T>
void Writer::field(std::string_view name, const T& v) {
    key(name);
    write(*this, v);
}

} // namespace tarn::core::json
