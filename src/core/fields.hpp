// One field list per record: a record's members are named and ordered once,
// and every direction of the state -- JSON writing, JSON reading, the binary
// form both ways -- is driven by that list.
//
// A record type T describes itself by a specialisation, next to its state
// code:
//
//   template <> struct core::Fields<RcfConfig> {
//       static constexpr std::string_view name = "RcfConfig";
//       template <class Self, class F>      // Self: RcfConfig or const RcfConfig
//       static void each(Self& c, F&& field) {
//           field("input_dim", c.input_dim);
//           field("shingle_size", c.shingle_size);
//           ...
//       }
//   };
//
// and then reads and writes through the generic overloads of the JSON layer
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
