// The binary state layer: little-endian fixed-width values, raw runs of
// them, and the header every binary state starts with.
//
// A state is the magic "TARN", the class tag (u32) and the class's format
// version (u32), then the class's fields (docs/binary-state.md). The reader
// never trusts a length: a count of elements is refused unless the elements
// it announces fit in the bytes that remain, so no reservation can exceed
// what the input could fill. The first failure is kept and every later read
// returns zero, so a class reader reads straight through and checks ok()
// once (as the JSON reader does).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/rng.hpp"

namespace tarn::core::binary {

enum class ClassTag : std::uint32_t { Forest = 1, OnlineIForest = 2, MStream = 3, FeatureSketch = 4, Threshold = 5 };

// "Forest", ...; "an unknown class" for a tag no class uses.
std::string_view class_name(std::uint32_t tag);

inline constexpr std::size_t kHeaderSize = 12;

class Writer {
public:
    explicit Writer(std::size_t reserve = 0) { out_.reserve(reserve); }

    void header(ClassTag tag, std::uint32_t version);
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void f32(float v) { put(v); }
    void f64(double v) { put(v); }
    void rng(const Xoshiro256PlusPlus& g) { raw(std::span<const std::uint64_t>(g.s)); }

    // The elements one after the other, no count.
    template <class T>
    void raw(std::span<const T> v) {
        static_assert(std::is_arithmetic_v<T>);
        if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
            out_.append(reinterpret_cast<const char*>(v.data()), v.size_bytes());
        } else {
            for (const T& x : v) put(x);
        }
    }
    // A u64 count, then the elements.
    template <class T>
    void list(const std::vector<T>& v) {
        u64(v.size());
        raw(std::span<const T>(v));
    }

    // The elements as a bitmap of those that are not all-zero bits (bit i%8
    // of byte i/8), then those elements: counts that are mostly zero.
    template <class T>
    void sparse(std::span<const T> v) {
        const std::size_t at = out_.size();
        out_.append((v.size() + 7) / 8, '\0');
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (is_zero(v[i])) continue;
            out_[at + i / 8] = static_cast<char>(static_cast<unsigned char>(out_[at + i / 8]) | (1u << (i % 8)));
            put(v[i]);
        }
    }

    std::string take() { return std::move(out_); }

private:
    template <class T>
    static bool is_zero(T v) {
        T zero{};
        return std::memcmp(&v, &zero, sizeof(T)) == 0;
    }
    template <class T>
    void put(T v) {
        char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + sizeof(T));
        out_.append(b, sizeof(T));
    }
    std::string out_;
};

// Numbers in a state are finite, as in a JSON text (which has no spelling
// for NaN or an infinity); the few places that hold an infinity read with
// Finite::No and check what they allow themselves.
enum class Finite { Required, No };

class Reader {
public:
    explicit Reader(std::string_view data) : at_(data.data()), end_(data.data() + data.size()), begin_(at_) {}

    // The magic, the tag and the version; fails naming both classes when the
    // tag is another class's.
    bool header(ClassTag want, std::uint32_t version);

    std::uint8_t u8() {
        std::uint8_t v = 0;
        take(&v, 1);
        return v;
    }
    // 0 or 1; any other byte fails.
    bool flag();
    std::uint32_t u32() { return get<std::uint32_t>(); }
    std::uint64_t u64() { return get<std::uint64_t>(); }
    float f32() { return finite(get<float>()); }
    double f64(Finite f = Finite::Required) {
        const double v = get<double>();
        return f == Finite::Required ? finite(v) : v;
    }
    void rng(Xoshiro256PlusPlus& g) {
        for (std::uint64_t& w : g.s) w = u64();
    }

    // A count of elements of at least `min_size` bytes each that follow;
    // fails (and returns 0) when they cannot fit in the remaining bytes.
    std::uint64_t count(std::size_t min_size, std::string_view what);
    // n elements into v (replacing its contents); n is checked against the
    // remaining bytes before anything is reserved.
    template <class T>
    void raw(std::vector<T>& v, std::uint64_t n, std::string_view what, Finite f = Finite::Required) {
        static_assert(std::is_arithmetic_v<T>);
        v.clear();
        if (!fits(n, sizeof(T), what)) return;
        v.resize(n);
        if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
            take(v.data(), n * sizeof(T));
        } else {
            for (T& x : v) x = get<T>();
        }
        if constexpr (std::is_floating_point_v<T>) {
            if (f == Finite::Required) all_finite(std::span<const T>(v), what);
        }
    }
    // n elements written by Writer::sparse. The bitmap's bytes are checked
    // against the remaining data before anything is reserved, and the marked
    // elements before the elements are allocated.
    template <class T>
    void sparse(std::vector<T>& v, std::uint64_t n, std::string_view what) {
        v.clear();
        const std::uint64_t marked = sparse_bitmap(n, sizeof(T), what);
        if (!ok()) return;
        v.assign(n, T{});
        const unsigned char* bits = reinterpret_cast<const unsigned char*>(at_) - (n + 7) / 8;
        for (std::uint64_t i = 0, seen = 0; seen < marked; ++i) {
            if (!(bits[i / 8] >> (i % 8) & 1)) continue;
            v[i] = get<T>();
            ++seen;
        }
        if constexpr (std::is_floating_point_v<T>) all_finite(std::span<const T>(v), what);
    }

    // A u64 count, then the elements.
    template <class T>
    void list(std::vector<T>& v, std::string_view what, Finite f = Finite::Required) {
        raw(v, u64(), what, f);
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // Records the first failure; returns false.
    bool fail(std::string why);
    // Fails unless every byte was read.
    bool finish();
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_); }
    std::size_t offset() const { return static_cast<std::size_t>(at_ - begin_); }

private:
    template <class T>
    T finite(T v) {
        if (!std::isfinite(v)) fail("a non-finite number at offset " + std::to_string(offset() - sizeof(T)));
        return v;
    }
    template <class T>
    void all_finite(std::span<const T> v, std::string_view what) {
        for (const T x : v) {
            if (!std::isfinite(x)) {
                fail(std::string(what) + " holds a non-finite number");
                return;
            }
        }
    }
    // Reads the bitmap of n elements, checks it and returns how many it marks.
    std::uint64_t sparse_bitmap(std::uint64_t n, std::size_t size, std::string_view what);
    bool fits(std::uint64_t n, std::size_t size, std::string_view what);
    void take(void* out, std::size_t n);
    template <class T>
    T get() {
        T v{};
        char b[sizeof(T)] = {};
        take(b, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + sizeof(T));
        std::memcpy(&v, b, sizeof(T));
        return v;
    }

    const char* at_;
    const char* end_;
    const char* begin_;
    std::string error_;
};

// A whole state of the class `tag`: the header, then read_fields(reader)
// for the class's fields, then the end. The first failure comes back as an
// invalid argument behind `prefix`.
template <class F>
Status read_state(std::string_view data, ClassTag tag, std::uint32_t version, std::string_view prefix,
                  F&& read_fields) {
    Reader r(data);
    if (r.header(tag, version)) {
        read_fields(r);
        r.finish();
    }
    if (!r.ok()) return invalid(std::string(prefix) + r.error());
    return {};
}

// ------------------------------------------------------------ value forms

// The shared values: numbers in their width, a flag, a generator, a list
// (count then elements), a fixed array (elements only).
inline void write(Writer& w, std::uint64_t v) { w.u64(v); }
inline void write(Writer& w, double v) { w.f64(v); }
inline void write(Writer& w, float v) { w.f32(v); }
inline void write(Writer& w, bool v) { w.flag(v); }
inline void write(Writer& w, const Xoshiro256PlusPlus& g) { w.rng(g); }
// A flag, then the value (zero bits when absent).
template <class T>
void write(Writer& w, const std::optional<T>& v) {
    w.flag(v.has_value());
    write(w, v.value_or(T{}));
}
template <class T>
void write(Writer& w, const std::vector<T>& v) {
    w.list(v);
}
template <std::size_t N>
void write(Writer& w, const std::array<std::uint64_t, N>& v) {
    w.raw(std::span<const std::uint64_t>(v));
}

inline void read(Reader& r, std::uint64_t& v, std::string_view) { v = r.u64(); }
inline void read(Reader& r, double& v, std::string_view) { v = r.f64(); }
inline void read(Reader& r, float& v, std::string_view) { v = r.f32(); }
inline void read(Reader& r, bool& v, std::string_view) { v = r.flag(); }
inline void read(Reader& r, Xoshiro256PlusPlus& g, std::string_view) { r.rng(g); }
template <class T>
void read(Reader& r, std::optional<T>& v, std::string_view what) {
    const bool present = r.flag();
    T x{};
    read(r, x, what);
    v = present ? std::optional<T>(x) : std::nullopt;
}
template <class T>
void read(Reader& r, std::vector<T>& v, std::string_view what) {
    r.list(v, what);
}
template <std::size_t N>
void read(Reader& r, std::array<std::uint64_t, N>& v, std::string_view) {
    for (std::uint64_t& x : v) x = r.u64();
}

// A shaped member (core/fields.hpp): its sizes, then its elements, doubles
// as a sparse run. The reader keeps the sizes as written in dims.
template <class Vec, class ShapeFn>
void write(Writer& w, const Shaped<Vec, ShapeFn>& a) {
    using E = typename Shaped<Vec, ShapeFn>::Element;
    for (const std::uint64_t d : a.shape()) w.u64(d);
    if constexpr (std::is_same_v<E, double>) {
        w.sparse(std::span<const E>(a.data));
    } else {
        w.raw(std::span<const E>(a.data));
    }
}
template <class Vec, class ShapeFn>
void read(Reader& r, const Shaped<Vec, ShapeFn>& a, std::vector<std::uint64_t>& dims) {
    dims.clear();
    std::uint64_t n = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < Shaped<Vec, ShapeFn>::ndim; ++i) {
        dims.push_back(r.u64());
        overflow |= !checked_mul(n, dims.back(), n);
    }
    if (overflow) r.fail("array sizes overflow");
    if constexpr (std::is_same_v<typename Shaped<Vec, ShapeFn>::Element, double>) {
        r.sparse(a.data, n, "an array");
    } else {
        r.raw(a.data, n, "an array");
    }
}

// A described record (core/fields.hpp): its members back to back in list
// order; the shapes of shaped members are checked once all are read.
template <Described T>
void write(Writer& w, const T& record) {
    Fields<T>::each(record, [&](std::string_view, const auto& member) { write(w, member); });
}
template <Described T>
void read(Reader& r, T& record, std::string_view = {}) {
    if constexpr (HasShaped<T>) {
        std::vector<std::uint64_t> dims[kMaxFields];
        std::size_t i = 0;
        Fields<T>::each(record, [&](std::string_view name, auto&& member) {
            if constexpr (is_shaped<std::remove_cvref_t<decltype(member)>>) {
                read(r, member, dims[i]);
            } else {
                read(r, member, name);
            }
            ++i;
        });
        if (!r.ok()) return;
        if (const std::string bad = misshaped(record, dims); !bad.empty()) r.fail(bad);
    } else {
        Fields<T>::each(record, [&](std::string_view name, auto& member) { read(r, member, name); });
    }
}

} // namespace tarn::core::binary
