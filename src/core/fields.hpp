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
#pragma once

#include <string_view>

namespace tarn::core {

template <class T>
struct Fields; // specialised per record type

template <class T>
concept Described = requires { Fields<T>::name; };

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
