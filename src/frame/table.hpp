// A class's method table, in which the methods several classes share are
// declared by their docstrings alone:
//
//   constexpr auto kRows = table<Forest>(
//       "to_json($self)\n--\n\nSerialize the entire forest state to a JSON string.", ...
//       "update($self, point)\n--\n\nIncorporate a new observation ...",
//       method<Forest>("density($self, point)\n--\n\n...", Access::Read, Gil::Release, forest_density));
//
// Each class's table opens with the state protocol (the six state-format
// methods), then lists its own methods, so a class file reads from the
// common to the particular.
//
// The text signature heading a docstring names its method, and for these
// names the frame knows what the method borrows, whether it releases the
// lock and what it runs:
//
//   update, score, update_and_score         one record (Record<S>, record.hpp)
//   update_many, score_many,
//   update_and_score_many                   a batch (Batch<S>, batch.hpp)
//   is_ready, entries_seen, num_trees       the state's accessor of that name
//   to_json, from_json, to_bytes,
//   from_bytes, save_json, load_json        the state formats (persistence.hpp)
//
// A docstring of another name, or one whose signature does not fit the
// method, stops the build; a class's own methods are method<S>(...) rows.
// The copy and pickle methods, which have no docstrings, follow the rows.
#pragma once

#include <string_view>
#include <tuple>
#include <type_traits>

#include "frame/batch.hpp"
#include "frame/frame.hpp"
#include "frame/persistence.hpp"
#include "frame/record.hpp"

namespace tarn::frame {

namespace table_detail {

template <class S>
concept HasBatch = requires { typename Batch<S>::Input; };

// A single-record method, whose parameters are the fields of the record.
template <class S>
consteval Method<S> record_method(const char* doc, Access access, PyObject* (*impl)(Call<S>&)) {
    using Fields = decltype(Record<S>::convert(std::declval<const Bound&>()));
    if (parse_signature(doc).num_params != std::tuple_size_v<Fields>)
        throw "the text signature's parameters are not the fields of the record";
    return method<S>(doc, access, Gil::Release, impl);
}

// The row of a shared method, from its docstring.
template <class S>
consteval Method<S> shared_method(const char* doc) {
    const std::string_view name = parse_signature(doc).name;
    if constexpr (HasRecord<S>) {
        if (name == "update") return record_method<S>(doc, Access::Write, &record::update<S>);
        if (name == "score") return record_method<S>(doc, Access::Read, &record::score<S>);
        if (name == "update_and_score") return record_method<S>(doc, Access::Write, &record::update_and_score<S>);
    }
    if constexpr (HasBatch<S>) {
        if (name == "update_many")
            return method_as<S>("update_many($self, ", doc, Access::Write, Gil::Release, &batch::update_many<S>);
        if (name == "score_many")
            return method_as<S>("score_many($self, ", doc, Access::Read, Gil::Release, &batch::score_many<S>);
        if (name == "update_and_score_many")
            return method_as<S>("update_and_score_many($self, ", doc, Access::Write, Gil::Release,
                                &batch::update_and_score_many<S>);
    }
    if constexpr (requires { &S::is_ready; })
        if (name == "is_ready")
            return method_as<S>("is_ready($self)\n", doc, Access::Read, Gil::Keep, &getter<&S::is_ready>);
    if constexpr (requires { &S::entries_seen; })
        if (name == "entries_seen")
            return method_as<S>("entries_seen($self)\n", doc, Access::Read, Gil::Keep, &getter<&S::entries_seen>);
    if constexpr (requires { &S::num_trees; })
        if (name == "num_trees")
            return method_as<S>("num_trees($self)\n", doc, Access::Read, Gil::Keep, &getter<&S::num_trees>);
    using namespace persistence;
    if (name == "to_json") return method_as<S>("to_json($self)\n", doc, Access::Read, Gil::Keep, &to_json<S>);
    if (name == "from_json") return method_as<S>("from_json(json)\n", doc, Access::None, Gil::Keep, &from_json<S>);
    if constexpr (HasBytes<S>) {
        if (name == "to_bytes") return method_as<S>("to_bytes($self)\n", doc, Access::Read, Gil::Keep, &to_bytes<S>);
        if (name == "from_bytes")
            return method_as<S>("from_bytes(data)\n", doc, Access::None, Gil::Keep, &from_bytes<S>);
    }
    if (name == "save_json")
        return method_as<S>("save_json($self, path)\n", doc, Access::Read, Gil::Keep, &save_json<S>);
    if (name == "load_json") return method_as<S>("load_json(path)\n", doc, Access::None, Gil::Keep, &load_json<S>);
    throw "not a method the frame knows by name: declare it with method<S>(doc, access, gil, impl)";
}

template <class S, class Part>
consteval auto row_of(const Part& part) {
    if constexpr (std::is_convertible_v<const Part&, const char*>) {
        return shared_method<S>(part);
    } else {
        return part;
    }
}

} // namespace table_detail

// The rows in order (docstrings of shared methods, method<S>(...) rows),
// then the copy and pickle methods.
template <class S, class... Parts>
consteval auto table(const Parts&... parts) {
    return rows<S>(table_detail::row_of<S>(parts)..., persistence::pickle_rows<S>());
}

} // namespace tarn::frame
