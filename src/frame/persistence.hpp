// The persistence, copy and pickle protocol, once for every class.
//
// The state type S brings its state formats as members (Python-free, their
// errors already carrying the class's message prefixes):
//
//   core::Result<std::string> to_json() const;   static core::Result<S> from_json(std::string_view);
//   core::Result<std::string> to_bytes() const;  static core::Result<S> from_bytes(std::string_view);  (optional)
//
// A class whose constructor needs arguments to unpickle specialises NewArgs
// (the values that __getnewargs__ returns). A class declares the documented
// methods by their docstrings in its table (table.hpp); the copy and pickle
// methods follow.
//
// Borrows: to_json, to_bytes, save_json, __copy__, __deepcopy__,
// __getstate__ and __getnewargs__ read; __setstate__ writes; from_json,
// from_bytes and load_json are static. All keep the interpreter lock (which
// also keeps a buffer handed to from_bytes unchanged while it is read).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/json/state_file.hpp"
#include "frame/frame.hpp"

namespace tarn::frame {

// The constructor arguments __getnewargs__ returns:
//   template <> struct NewArgs<S> { static std::array<std::uint64_t, N> of(const S&); };
template <class S>
struct NewArgs;

template <class S>
concept HasNewArgs = requires(const S& s) { NewArgs<S>::of(s); };
template <class S>
concept HasBytes = requires(const S& s) { s.to_bytes(); };

namespace persistence {

template <class S>
PyObject* to_json(Call<S>& c) {
    const std::string text = unwrap(c.state().to_json());
    return to_py(std::string_view(text));
}

template <class S>
PyObject* from_json(Call<S>& c) {
    const core::StrOrBytes in = c.args.convert(0, to_str_or_bytes);
    return wrap_new<S>(c.type, unwrap(S::from_json(in.data)));
}

template <class S>
PyObject* to_bytes(Call<S>& c) {
    const std::string data = unwrap(c.state().to_bytes());
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
    std::string_view data() const { return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

private:
    Py_buffer view_{};
};

template <class S>
PyObject* from_bytes(Call<S>& c) {
    const HeldBuffer in(c.args, 0);
    return wrap_new<S>(c.type, unwrap(S::from_bytes(in.data())));
}

template <class S>
PyObject* save_json(Call<S>& c) {
    const std::string path = c.args.convert(0, to_path);
    const std::string text = unwrap(c.state().to_json());
    unwrap(core::json::write_file_replacing(path, text));
    return none();
}

template <class S>
PyObject* load_json(Call<S>& c) {
    const std::string path = c.args.convert(0, to_path);
    const std::string bytes = unwrap(core::json::read_file(path));
    return wrap_new<S>(c.type, unwrap(S::from_json(bytes)));
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
    S parsed = unwrap(S::from_json(text));
    S* fresh = new S(std::move(parsed));
    delete std::exchange(c.self->state, fresh);
    return none();
}

template <class S>
PyObject* get_newargs(Call<S>& c) {
    const auto values = NewArgs<S>::of(c.state());
    Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), to_py(values[i]));
    return tuple.release();
}

// ------------------------------------------------------------- table rows
// The documented methods are rows of the class's table (table.hpp); the copy
// and pickle methods, which have no docstrings, follow them.

template <class S>
consteval auto pickle_rows() {
    const auto common =
        frame::rows<S>(method<S>("__copy__($self)\n--\n\n", Access::Read, Gil::Keep, &copy<S>),
                       method<S>("__deepcopy__($self, memo)\n--\n\n", Access::Read, Gil::Keep, &copy<S>),
                       method<S>("__getstate__($self)\n--\n\n", Access::Read, Gil::Keep, &to_json<S>),
                       method<S>("__setstate__($self, state)\n--\n\n", Access::Write, Gil::Keep, &set_state<S>));
    if constexpr (HasNewArgs<S>) {
        return frame::rows<S>(common,
                              method<S>("__getnewargs__($self)\n--\n\n", Access::Read, Gil::Keep, &get_newargs<S>));
    } else {
        return common;
    }
}

} // namespace persistence
} // namespace tarn::frame
