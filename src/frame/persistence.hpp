// The persistence, copy and pickle protocol, once for every class.
//
// A class provides its state format by specialising StateFormat for its
// state type S (Python-free functions that already carry the class's
// message prefixes):
//
//   template <> struct StateFormat<rcf::Forest> {
//       static core::Result<std::string> write(const rcf::Forest&);      // "failed to serialize forest: ..."
//       static core::Result<rcf::Forest> read(std::string_view text);    // "invalid forest JSON: ..."
//       static core::Result<std::string> write_bytes(const rcf::Forest&);   // the binary state
//       static core::Result<rcf::Forest> read_bytes(std::string_view data); // "invalid Forest state: ..."
//       static PyObject* newargs(const rcf::Forest&);                    // new tuple (only if the class
//   };                                                                  //  has __getnewargs__)
//
// and adds the rows it needs to its method table, each with its docstring:
//
//   constexpr Method<Forest> kToJson = persistence::to_json_row<Forest>("to_json($self)\n--\n\n...");
//   ... method_def<Forest, kToJson>(), ...
//
// Borrows: to_json, to_bytes, save_json, __copy__, __deepcopy__,
// __getstate__ and __getnewargs__ read; __setstate__ writes; from_json,
// from_bytes and load_json are static. All keep the interpreter lock (which
// also keeps a buffer handed to from_bytes unchanged while it is read).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/json/state_file.hpp"
#include "frame/frame.hpp"

namespace tarn::frame {

template <class S>
struct StateFormat; // specialised per state type, see above

namespace persistence {

template <class S>
PyObject* to_json(Call<S>& c) {
    const std::string text = unwrap(StateFormat<S>::write(c.state()));
    return to_py(std::string_view(text));
}

template <class S>
PyObject* from_json(Call<S>& c) {
    const core::StrOrBytes in = c.args.convert(0, to_str_or_bytes);
    return wrap_new<S>(c.type, unwrap(StateFormat<S>::read(in.data)));
}

template <class S>
PyObject* to_bytes(Call<S>& c) {
    const std::string data = unwrap(StateFormat<S>::write_bytes(c.state()));
    return check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// A contiguous byte buffer of any object that offers one (bytes, bytearray,
// memoryview, array, ...), held for the duration of a call.
class HeldBuffer {
public:
    HeldBuffer(const Bound& args, std::size_t i) {
        args.convert(i, [&](PyObject* o) {
            if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) throw PyErrorSet{};
            return true;
        });
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    std::string_view data() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

template <class S>
PyObject* from_bytes(Call<S>& c) {
    const HeldBuffer in(c.args, 0);
    return wrap_new<S>(c.type, unwrap(StateFormat<S>::read_bytes(in.data())));
}

template <class S>
PyObject* save_json(Call<S>& c) {
    const std::string path = c.args.convert(0, to_path);
    const std::string text = unwrap(StateFormat<S>::write(c.state()));
    unwrap(core::json::write_file_replacing(path, text));
    return none();
}

template <class S>
PyObject* load_json(Call<S>& c) {
    const std::string path = c.args.convert(0, to_path);
    const std::string bytes = unwrap(core::json::read_file(path));
    return wrap_new<S>(c.type, unwrap(StateFormat<S>::read(bytes)));
}

// __copy__ and __deepcopy__ (whose memo is accepted and ignored): a plain
// value copy, generators included; nothing goes through JSON.
template <class S>
PyObject* copy(Call<S>& c) {
    S duplicate(c.state());
    return wrap_new<S>(c.type, std::move(duplicate));
}

template <class S>
PyObject* set_state(Call<S>& c) {
    const std::string text = c.args.convert(0, to_state_text);
    // Parse and validate completely, allocate the new state, and only then
    // swap it in: a failure anywhere leaves the object as it was.
    S parsed = unwrap(StateFormat<S>::read(text));
    S* fresh = new S(std::move(parsed));
    delete std::exchange(c.self->state, fresh);
    return none();
}

template <class S>
PyObject* get_newargs(Call<S>& c) {
    return StateFormat<S>::newargs(c.state());
}

// ------------------------------------------------------------- table rows

template <class S>
constexpr Method<S> to_json_row(const char* doc) {
    return {{"to_json", {}, 0, 0, Access::Read, Gil::Keep, doc}, &to_json<S>};
}
template <class S>
constexpr Method<S> from_json_row(const char* doc) {
    return {{"from_json", {"json"}, 1, 1, Access::None, Gil::Keep, doc}, &from_json<S>, true};
}
template <class S>
constexpr Method<S> to_bytes_row(const char* doc) {
    return {{"to_bytes", {}, 0, 0, Access::Read, Gil::Keep, doc}, &to_bytes<S>};
}
template <class S>
constexpr Method<S> from_bytes_row(const char* doc) {
    return {{"from_bytes", {"data"}, 1, 1, Access::None, Gil::Keep, doc}, &from_bytes<S>, true};
}
template <class S>
constexpr Method<S> save_json_row(const char* doc) {
    return {{"save_json", {"path"}, 1, 1, Access::Read, Gil::Keep, doc}, &save_json<S>};
}
template <class S>
constexpr Method<S> load_json_row(const char* doc) {
    return {{"load_json", {"path"}, 1, 1, Access::None, Gil::Keep, doc}, &load_json<S>, true};
}
template <class S>
constexpr Method<S> copy_row() {
    return {{"__copy__", {}, 0, 0, Access::Read, Gil::Keep, "__copy__($self)\n--\n\n"}, &copy<S>};
}
template <class S>
constexpr Method<S> deepcopy_row() {
    return {{"__deepcopy__", {"memo"}, 1, 1, Access::Read, Gil::Keep, "__deepcopy__($self, memo)\n--\n\n"},
            &copy<S>};
}
template <class S>
constexpr Method<S> getstate_row() {
    return {{"__getstate__", {}, 0, 0, Access::Read, Gil::Keep, "__getstate__($self)\n--\n\n"}, &to_json<S>};
}
template <class S>
constexpr Method<S> setstate_row() {
    return {{"__setstate__", {"state"}, 1, 1, Access::Write, Gil::Keep, "__setstate__($self, state)\n--\n\n"},
            &set_state<S>};
}
template <class S>
constexpr Method<S> getnewargs_row() {
    return {{"__getnewargs__", {}, 0, 0, Access::Read, Gil::Keep, "__getnewargs__($self)\n--\n\n"},
            &get_newargs<S>};
}

} // namespace persistence
} // namespace tarn::frame
