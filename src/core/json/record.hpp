// Typed reading on top of the pull reader: records as field lists,
// alternatives, the n-dimensional array form, and the value forms shared by
// every state format (integers, floats, lists, optionals, the generator).
//
// A record reader is a field list:
//
//   void read(Reader& r, RcfTree& t) {
//       read_record(r, "RcfTree", {
//           field("root", t.root),               // read(r, t.root) by overload
//           field("tree_mass", t.tree_mass),
//           field("arena", t.arena),             // read(r, NodeArena&) found by ADL
//           field("rng", t.rng),
//           field("dims", [&](Reader& r) { t.dims = r.read_u64(); }), // any code
//       });
//   }
//
// read_record accepts the object form (members in any order, unknown members
// skipped, duplicates and missing members refused) and the array form (the
// member values in field-list order). Errors are recorded in the reader (see
// reader.hpp); the result of the whole parse is checked once at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/fields.hpp"
#include "core/json/reader.hpp"
#include "core/rng.hpp"

namespace tarn::core::json {

// ---------------------------------------------------------- shared values

inline void read(Reader& r, std::uint64_t& v) { v = r.read_u64(); }
inline void read(Reader& r, std::int64_t& v) { v = r.read_i64(); }
inline void read(Reader& r, double& v) { v = r.read_f64(); }
inline void read(Reader& r, float& v) { v = r.read_f32(); }
inline void read(Reader& r, bool& v) { v = r.read_bool(); }
inline void read(Reader& r, std::string& v) { v = std::string(r.read_string()); }
// {"s":[s0,s1,s2,s3]} or [[s0,s1,s2,s3]]
void read(Reader& r, Xoshiro256PlusPlus& g);

// A double where null stands for +infinity (for the one place a format
// writes an infinite double that must read back).
double read_f64_null_as_inf(Reader& r);

// A JSON array of any length; the vector grows as elements arrive.
template <class T>
void read(Reader& r, std::vector<T>& v) {
    v.clear();
    if (!r.begin_array("a sequence")) return;
    while (r.next_element()) {
        T e{};
        read(r, e);
        if (!r.ok()) return;
        v.push_back(std::move(e));
    }
}

// A JSON array of exactly N elements:
// "invalid length n, expected an array of length N".
bool fail_array_length(Reader& r, std::size_t got, std::size_t want);
template <class T, std::size_t N>
void read(Reader& r, std::array<T, N>& v) {
    if (r.peek() != Reader::Type::Array) {
        r.fail_type("an array of length " + std::to_string(N));
        return;
    }
    if (!r.begin_array({})) return;
    std::size_t n = 0;
    while (r.next_element()) {
        if (n < N) {
            read(r, v[n]);
        } else {
            r.skip_value();
        }
        ++n;
    }
    if (r.ok() && n != N) fail_array_length(r, n, N);
}

// null, or a value.
template <class T>
void read(Reader& r, std::optional<T>& v) {
    if (r.consume_null()) {
        v.reset();
        return;
    }
    T x{};
    read(r, x);
    v = std::move(x);
}

// ------------------------------------------------------------------ records

struct Field {
    std::string_view name;
    void* target;
    void (*read)(void* target, Reader& r);
    bool omissible = false; // the object form may leave it out
};

// A record member read into target by the read() overload of its type, or,
// when given a callable taking Reader&, by calling it. The target or callable
// must live until read_record returns (a temporary in the same expression
// does).
template <class T>
Field field(std::string_view name, T&& target) {
    using U = std::remove_reference_t<T>;
    void* p = const_cast<void*>(static_cast<const void*>(&target));
    if constexpr (std::is_invocable_v<U&, Reader&>) {
        return Field{name, p, [](void* o, Reader& r) { (*static_cast<U*>(o))(r); }};
    } else {
        static_assert(std::is_lvalue_reference_v<T> && !std::is_const_v<U>, "field() reads into a modifiable lvalue");
        return Field{name, p, [](void* o, Reader& r) { read(r, *static_cast<U*>(o)); }};
    }
}

// The member f, which the object form may leave out (the target keeps its
// value).
inline Field omissible(Field f) {
    f.omissible = true;
    return f;
}

// Reads a record named record_name with the given members (at most 64).
// Object form: "duplicate field `x`", "missing field `x`" (first missing in
// list order). Array form: "invalid length N, expected struct Name with K
// elements". Any other JSON type: "invalid type: ..., expected struct Name".
// Returns r.ok().
bool read_record(Reader& r, std::string_view record_name, std::span<const Field> fields);
inline bool read_record(Reader& r, std::string_view record_name, std::initializer_list<Field> fields) {
    return read_record(r, record_name, std::span<const Field>(fields.begin(), fields.size()));
}

// A shaped member (core/fields.hpp) being read: its elements, and where the
// shape as written goes.
struct ShapedTarget {
    void* data = nullptr;
    std::vector<std::uint64_t>* dims = nullptr;
    std::size_t ndim = 0;
    void (*read)(Reader&, const ShapedTarget&) = nullptr;
};

// A described record (core/fields.hpp), read by its field list under its
// name, with the rules of read_record; then its shaped members' shapes are
// checked.
template <Described T>
void read(Reader& r, T& record) {
    Field list[kMaxFields];
    std::size_t n = 0;
    if constexpr (HasShaped<T>) {
        ShapedTarget targets[kMaxFields];
        std::vector<std::uint64_t> dims[kMaxFields];
        Fields<T>::each(record, [&](std::string_view name, auto&& member) {
            using M = std::remove_cvref_t<decltype(member)>;
            if constexpr (is_shaped<M>) {
                targets[n] = {&member.data, &dims[n], M::ndim, [](Reader& rr, const ShapedTarget& t) {
                                  read_ndarray(rr, t.ndim, *t.dims,
                                               *static_cast<std::vector<typename M::Element>*>(t.data));
                              }};
                list[n] = Field{name, &targets[n], [](void* t, Reader& rr) {
                                    static_cast<ShapedTarget*>(t)->read(rr, *static_cast<ShapedTarget*>(t));
                                }};
            } else {
                list[n] = field(name, member);
            }
            ++n;
        });
        if (!read_record(r, Fields<T>::name, std::span<const Field>(list, n))) return;
        if (const std::string bad = misshaped(record, dims); !bad.empty()) r.fail(bad);
    } else {
        Fields<T>::each(record, [&](std::string_view name, auto& member) { list[n++] = field(name, member); });
        read_record(r, Fields<T>::name, std::span<const Field>(list, n));
    }
}

// ------------------------------------------------------------- alternatives

struct Alternative {
    std::string_view name;
    FunctionRef<void(Reader&)> read;
};
template <class F>
Alternative alternative(std::string_view name, F&& read_value) {
    return Alternative{name, FunctionRef<void(Reader&)>(read_value)};
}

// Reads {"Name":value} with exactly one member whose key is one of the
// alternatives, calling that alternative's reader for the value.
// Unknown key: "unknown variant `x`, expected one of `A`, `B`".
// Returns r.ok().
bool read_variant(Reader& r, std::string_view enum_name, std::initializer_list<Alternative> alternatives);

// ------------------------------------------------- n-dimensional array form

// Reads {"v":1,"dim":[...],"data":[...]} (members in any order, no others)
// or [1,[...],[...]]. dim must have ndim entries; every data element is read
// by read_element (which appends it wherever the caller keeps data) and
// counted; the count must equal the product of dim ("data and dimension must
// match in size"). Other errors: "unknown array version: v", "unknown field
// `x`, expected one of `v`, `dim`, `data`", "missing field `x`", "duplicate
// field `x`", and "ndarray representation" as the expected type.
// Returns r.ok().
bool read_ndarray(Reader& r, std::size_t ndim, std::vector<std::uint64_t>& dim,
                  FunctionRef<void(Reader&)> read_element);

// Typed form: data is replaced by the elements. Its storage is reserved only
// up to what the remaining text can hold, never from the claimed dim.
template <class T>
bool read_ndarray(Reader& r, std::size_t ndim, std::vector<std::uint64_t>& dim, std::vector<T>& data) {
    data.clear();
    return read_ndarray(r, ndim, dim, [&](Reader& rr) {
        T e{};
        read(rr, e);
        data.push_back(e);
    });
}

} // namespace tarn::core::json
