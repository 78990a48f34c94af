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
// A private member's trailing underscore is not part of its field name, so
// a class lists its own members (config_ is "config") once it befriends
// its Fields<T>.
//
// A member kept flat whose shape the record's own sizes call for (a sketch's
// rows x buckets counts) says so next to the record's list:
//
//   TARN_SHAPE(tarn::mstream::CategoricalSketch, count, "sketch", s.num_rows, s.num_buckets)
//
// (the record's type, the member, what a wrong shape is reported against,
// and the sizes in terms of the record `s`). JSON holds such a member in the
// n-dimensional array form, the binary form as its sizes then its elements
// (doubles as a sparse run: counts, mostly zero). Readers take the shape as
// written and compare it with the one the sizes call for once the whole
// record is read; the first that differs fails with "<name> does not match
// the sizes of its <owner>".
#pragma once

#include <algorithm>
#include <array>
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

constexpr std::string_view field_name(std::string_view member) {
    return member.ends_with('_') ? member.substr(0, member.size() - 1) : member;
}

// A shaped member as the field list hands it over: the elements, the shape
// the record's sizes call for, and what a wrong shape is reported against.
template <class Vec, class ShapeFn> // Vec: std::vector<E>, const for writers
struct Shaped {
    Vec& data;
    ShapeFn shape; // () -> std::array<std::uint64_t, ndim>
    std::string_view owner;
    using Element = typename std::remove_const_t<Vec>::value_type;
    static constexpr std::size_t ndim = std::tuple_size_v<decltype(std::declval<ShapeFn&>()())>;
};

template <class M>
inline constexpr bool is_shaped = false;
template <class Vec, class ShapeFn>
inline constexpr bool is_shaped<Shaped<Vec, ShapeFn>> = true;

// What TARN_SHAPE declares for a member: its owner word and its sizes.
template <class SizesFn>
struct ShapeRule {
    std::string_view owner;
    SizesFn sizes; // (const Record&) -> std::array<std::uint64_t, ndim>
};
template <class SizesFn>
ShapeRule(std::string_view, SizesFn) -> ShapeRule<SizesFn>;

template <auto Member>
inline constexpr auto shape_rule = nullptr; // no rule: a plain member
template <auto Member>
inline constexpr bool is_shaped_member = !std::is_null_pointer_v<std::remove_cv_t<decltype(shape_rule<Member>)>>;

// The member of r as its field list hands it over: itself, or a Shaped.
template <auto Member, class Self>
decltype(auto) member_of(Self& r) {
    if constexpr (is_shaped_member<Member>) {
        auto shape = [&r] { return shape_rule<Member>.sizes(r); };
        return Shaped<std::remove_reference_t<decltype(r.*Member)>, decltype(shape)>{r.*Member, shape,
                                                                                     shape_rule<Member>.owner};
    } else {
        return (r.*Member);
    }
}

template <class T>
concept HasShaped = Described<T> && Fields<T>::has_shaped;

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
                bad = std::string(name) + " does not match the sizes of its " + std::string(member.owner);
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

#define TARN_RECORD_FIELD(m) field(::tarn::core::field_name(#m), ::tarn::core::member_of<&Record::m>(r));
#define TARN_RECORD_SHAPED(m) || ::tarn::core::is_shaped_member<&Record::m>
#define TARN_RECORD(Type, Name, ...)                                                                                   \
    template <>                                                                                                        \
    struct tarn::core::Fields<Type> {                                                                                  \
        using Record = Type;                                                                                           \
        static constexpr std::string_view name = Name;                                                                 \
        static constexpr bool has_shaped = false TARN_FOR_EACH(TARN_RECORD_SHAPED, __VA_ARGS__);                       \
        template <class Self, class F>                                                                                 \
        static void each(Self& r, F&& field) {                                                                         \
            TARN_FOR_EACH(TARN_RECORD_FIELD, __VA_ARGS__)                                                              \
        }                                                                                                              \
    };

// Declared before the record's TARN_RECORD (which asks which members are shaped).
#define TARN_SHAPE(Type, m, owner, ...)                                                                                \
    template <>                                                                                                        \
    inline constexpr auto tarn::core::shape_rule<& Type::m> =                                                          \
        ::tarn::core::ShapeRule(owner, [](const Type& s) { return std::array{__VA_ARGS__}; });
