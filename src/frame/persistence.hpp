// The persistence, copy and pickle protocol, once for every class.
//
// The state type S brings its state formats as members (Python-free, their
// errors already carrying the class's message prefixes):
//
//   core::Result<std::string> to_json() const;   static core::Result<S> from_json(std::string_view);
//   core::Result<std::string> to_bytes() const;  static core::Result<S> from_bytes(std::string_view);  (optional)
//
// A class whose constructor needs arguments to unpickle specialises NewArgs
// (the values that __getnewargs__ returns). The class adds every row with one
// call, giving the docstrings that differ between classes:
//
//   persistence::rows<Forest>({"to_json($self)\n--\n\n...", "from_json(json)\n--\n\n...", ...})
//
// Borrows: to_json, to_bytes, save_json, __copy__, __deepcopy__,
// __getstate__ and __getnewargs__ read; __setstate__ writes; from_json,
// from_bytes and load_json are static. All keep the interpreter lock (which
// also keeps a buffer handed to from_bytes unchanged while it is read).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
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

// The docstrings a class words its own way, in any order: each begins with
// its method's usual text signature, which names it ("to_json($self)\n--\n\n...",
// "from_json(json)\n--\n\n...", "save_json($self, path)\n--\n\n...",
// "load_json(path)\n--\n\n...", and for states with a binary form
// "to_bytes($self)\n--\n\n..." and "from_bytes(data)\n--\n\n..."); the signatures
// are checked at compile time.
using Docs = std::initializer_list<const char*>;

// The docstring of the method `name`; a build error when there is none.
consteval const char* doc_of(const Docs& docs, std::string_view name) {
    for (const char* doc : docs)
        if (parse_signature(doc).name == name) return doc;
    throw "persistence::rows misses the docstring of a method";
}

// The rows a state has only with the feature: make()'s, or none (make is a
// template, so that its rows are not even formed without the feature).
template <class S, bool Has, class Make>
consteval auto rows_if(Make make) {
    if constexpr (Has) {
        return make();
    } else {
        return std::array<Method<S>, 0>{};
    }
}

// Every row of the protocol.
template <class S>
consteval auto rows(Docs docs) {
    if (docs.size() != (HasBytes<S> ? 6 : 4)) throw "persistence::rows takes one docstring per documented method";
    return frame::rows<S>(
        method_as<S>("to_json($self)\n", doc_of(docs, "to_json"), Access::Read, Gil::Keep, &to_json<S>),
        method_as<S>("from_json(json)\n", doc_of(docs, "from_json"), Access::None, Gil::Keep, &from_json<S>),
        rows_if<S, HasBytes<S>>([&]<class T = S>() consteval {
            return frame::rows<T>(
                method_as<T>("to_bytes($self)\n", doc_of(docs, "to_bytes"), Access::Read, Gil::Keep, &to_bytes<T>),
                method_as<T>("from_bytes(data)\n", doc_of(docs, "from_bytes"), Access::None, Gil::Keep,
                             &from_bytes<T>));
        }),
        method_as<S>("save_json($self, path)\n", doc_of(docs, "save_json"), Access::Read, Gil::Keep, &save_json<S>),
        method_as<S>("load_json(path)\n", doc_of(docs, "load_json"), Access::None, Gil::Keep, &load_json<S>),
        method<S>("__copy__($self)\n--\n\n", Access::Read, Gil::Keep, &copy<S>),
        method<S>("__deepcopy__($self, memo)\n--\n\n", Access::Read, Gil::Keep, &copy<S>),
        method<S>("__getstate__($self)\n--\n\n", Access::Read, Gil::Keep, &to_json<S>),
        method<S>("__setstate__($self, state)\n--\n\n", Access::Write, Gil::Keep, &set_state<S>),
        rows_if<S, HasNewArgs<S>>([]<class T = S>() consteval {
            return frame::rows<T>(method<T>("__getnewargs__($self)\n--\n\n", Access::Read, Gil::Keep, &get_newargs<T>));
        }));
}

} // namespace persistence
} // namespace tarn::frame
