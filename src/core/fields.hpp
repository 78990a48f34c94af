// One field list per record: a record's members are named and ordered once,
// and every direction of the state -- JSON writing, JSON reading, the binary
// form both ways -- is driven by that list.
//
// A record type describes itself next to its state code, at namespace
// scope, when its member names are its field names:
//
//   TARN_RECORD(tarn::rcf::Sampler, "Sampler", capacity, weights, point_indices, size)
//
// which specialises Fields<T> with the record's name and
//
//   template <class Self, class F>  // Self: T or const T
//   static void each(Self& r, F&& field) { field("capacity", r.capacity); ... }
//
// (a record whose fields are named otherwise writes that specialisation by
// hand). It then reads and writes through the generic overloads of the JSON layer
// (core/json/record.hpp: an object with the members in list order; read in
// either record form) and of the binary layer (core/binary.hpp: the members
// back to back in list order).
//
// A member kept flat whose shape the record's own sizes call for (a sketch's
// rows x buckets counts) is listed as
//
//   field("count", shaped(r.count, [&r] { return std::array{r.num_rows, r.num_buckets}; }));
//
// and its record names, as Fields<T>::shape_owner, what a wrong shape is
// reported against: JSON holds the member in the n-dimensional array form,
// the binary form as its sizes then its elements (doubles as a sparse run:
// counts, mostly zero). Readers take the shape as written and compare it
// with the one the sizes call for once the whole record is read; the first
// that differs fails with "<name> does not match the sizes of its <owner>".
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn::core {

template <class T>
struct Fields; // specialised per record type

template <class T>
concept Described = requires { Fields<T>::name; };

// The most members a described record may have.
inline constexpr std::size_t kMaxFields = 64;

template <class Vec, class ShapeFn> // Vec: std::vector<E>, const for writers
struct Shaped {
    Vec& data;
    ShapeFn shape; // () -> std::array<std::uint64_t, ndim>
    using Element = typename std::remove_const_t<Vec>::value_type;
    static constexpr std::size_t ndim = std::tuple_size_v<decltype(std::declval<ShapeFn&>()())>;
};
template <class Vec, class ShapeFn>
Shaped<Vec, ShapeFn> shaped(Vec& data, ShapeFn shape) {
    return {data, shape};
}

template <class M>
inline constexpr bool is_shaped = false;
template <class Vec, class ShapeFn>
inline constexpr bool is_shaped<Shaped<Vec, ShapeFn>> = true;

template <class T>
concept HasShaped = Described<T> && requires { Fields<T>::shape_owner; };

// After a record is read with the shapes of its shaped members as written
// (found[i] for the i-th member of the list): the failure text for the first
// whose shape differs from the one its sizes call for, empty when none does.
template <HasShaped T>
std::string misshaped(T& record, const std::vector<std::uint64_t>* found) {
    std::string bad;
    std::size_t i = 0;
    Fields<T>::each(record, [&](std::string_view name, auto&& member) {
        if constexpr (is_shaped<std::remove_cvref_t<decltype(member)>>) {
            const auto want = member.shape();
            if (bad.empty() && !std::equal(found[i].begin(), found[i].end(), want.begin(), want.end()))
                bad = std::string(name) + " does not match the sizes of its " + std::string(Fields<T>::shape_owner);
        }
        ++i;
    });
    return bad;
}

} // namespace tarn::core

// TARN_FOR_EACH(m, a, b, c) expands to m(a) m(b) m(c), for up to 64 items.
#define TARN_PARENS ()
#define TARN_EXPAND(...) TARN_EXPAND3(TARN_EXPAND3(TARN_EXPAND3(TARN_EXPAND3(__VA_ARGS__))))
#define TARN_EXPAND3(...) TARN_EXPAND2(TARN_EXPAND2(TARN_EXPAND2(TARN_EXPAND2(__VA_ARGS__))))
#define TARN_EXPAND2(...) TARN_EXPAND1(TARN_EXPAND1(TARN_EXPAND1(TARN_EXPAND1(__VA_ARGS__))))
#define TARN_EXPAND1(...) __VA_ARGS__
#define TARN_FOR_EACH(macro, ...) __VA_OPT__(TARN_EXPAND(TARN_FOR_EACH_STEP(macro, __VA_ARGS__)))
#define TARN_FOR_EACH_STEP(macro, first, ...)                                                                          \
    macro(first) __VA_OPT__(TARN_FOR_EACH_AGAIN TARN_PARENS(macro, __VA_ARGS__))
#define TARN_FOR_EACH_AGAIN() TARN_FOR_EACH_STEP

#define TARN_RECORD_FIELD(member) field(#member, r.member);
#define TARN_RECORD(Type, Name, ...)                                                                                   \
    template <>                                                                                                        \
    struct tarn::core::Fields<Type> {                                                                                  \
        static constexpr std::string_view name = Name;                                                                 \
        template <class Self, class F>                                                                                 \
        static void each(Self& r, F&& field) {                                                                         \
            TARN_FOR_EACH(TARN_RECORD_FIELD, __VA_ARGS__)                                                              \
        }                                                                                                              \
    };
