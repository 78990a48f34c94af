// The frame: the only code that touches the Python interpreter.
//
// A class is declared as a table of Method rows over one generic machinery:
// binding by position and keyword, the borrow of the detector state, argument
// conversion with the "argument 'x': " rewriting, release of the interpreter
// lock around the computation, and the mapping of DetectorError / internal
// failures to Python exceptions. Adding a method is one row and one function.
//
// Control flow: a conversion or result helper that has set a Python error
// throws PyErrorSet; the entry point catches it (and every other C++
// exception) and returns NULL, so no C++ exception crosses into Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/key_value.hpp"

namespace tarn::frame {

// Thrown once a Python exception is set; carries nothing.
struct PyErrorSet {};

// An owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Returns p, or throws PyErrorSet when p is NULL (a Python error is set).
PyObject* check(PyObject* p);
// Throws PyErrorSet when a Python error is pending.
void check_no_error();

// ---------------------------------------------------------------- errors

// Raises the Python exception of a DetectorError, its text after `prefix`,
// and throws PyErrorSet.
[[noreturn]] void raise_detector_error(const core::DetectorError& e, std::string_view prefix = {});
// Puts prefix before the message of the pending exception when its class is
// exactly TypeError (or, unless type_errors_only, ValueError or
// OverflowError), keeping its cause; other exceptions pass unchanged.
void prefix_pending_error(const std::string& prefix, bool type_errors_only);
// Sets PanicException (a BaseException subclass) with the message.
void set_panic(const char* message);
// The class PanicException, created once per process.
PyObject* panic_exception_type();
// Translates the exception in flight (inside a catch block) into a Python
// error and returns NULL.
PyObject* translate_current_exception() noexcept;

// TypeError "'T' object is not an instance of 'Target'" (or "'None' is not an
// instance of 'Target'"), thrown as PyErrorSet.
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target_qualname);
// The same error, set without throwing.
void set_type_mismatch(PyObject* obj, const char* target_qualname);

template <class T>
T unwrap(core::Result<T>&& r) {
    if (!r) raise_detector_error(r.error());
    return std::move(*r);
}
inline void unwrap(core::Status&& r) {
    if (!r) raise_detector_error(r.error());
}

// ------------------------------------------------------ result conversion

PyObject* to_py(std::uint64_t v);
PyObject* to_py(double v);
PyObject* to_py(bool v);
PyObject* to_py(std::string_view text); // str from UTF-8
PyObject* to_py(const std::vector<float>& v);
PyObject* to_py(const std::vector<double>& v);
PyObject* none();

// A dict filled in insertion order (the order Python shows).
class DictBuilder {
public:
    DictBuilder() : dict_(check(PyDict_New())) {}
    // Takes ownership of value (a new reference, as returned by to_py).
    DictBuilder& set(const char* key, PyObject* value) {
        Ref v(value);
        if (PyDict_SetItemString(dict_.get(), key, v.get()) < 0) throw PyErrorSet{};
        return *this;
    }
    PyObject* release() { return dict_.release(); }

private:
    Ref dict_;
};

// A list of n items; set(i, value) takes ownership of value.
class ListBuilder {
public:
    explicit ListBuilder(std::size_t n) : list_(check(PyList_New(static_cast<Py_ssize_t>(n)))) {}
    void set(std::size_t i, PyObject* value) { PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i), value); }
    PyObject* release() { return list_.release(); }

private:
    Ref list_;
};

// ------------------------------------------------- argument conversion
// Each converter either returns the value or sets a Python error and throws
// PyErrorSet. Scalar kinds:

std::uint64_t to_count(PyObject* o);
double to_float(PyObject* o);
bool to_flag(PyObject* o);
std::optional<std::uint64_t> to_seed(PyObject* o); // NULL (omitted) or None -> nullopt

// Composite kinds:
std::vector<float> to_point(PyObject* o);
std::vector<double> to_numeric_list(PyObject* o);
std::vector<std::int64_t> to_categorical_list(PyObject* o);
std::vector<std::uint64_t> to_index_list(PyObject* o);
core::KeyValueLike to_key_value_like(PyObject* o);
core::StrOrBytes to_str_or_bytes(PyObject* o);
std::string to_path(PyObject* o);       // file-system encoded bytes
std::string to_state_text(PyObject* o); // str only, as UTF-8

// ------------------------------------------------------------- classes

enum class Access { None, Read, Write }; // borrow taken for the call
enum class Gil { Keep, Release };         // release the lock around compute()

inline constexpr std::size_t kMaxParams = 10;

// The Python object behind every detector: one state value and a borrow
// counter (0 free, n > 0 readers, -1 one writer).
template <class S>
struct Instance {
    PyObject_HEAD
    std::atomic<std::int64_t> borrow;
    S* state;
};

struct MethodInfo {
    const char* name;                      // "update", or "__new__" for the constructor
    std::array<const char*, kMaxParams> params;
    std::size_t num_params;
    std::size_t required;
    Access access;
    Gil gil;
    const char* doc;                       // "update($self, point)\n--\n\n..."
};

// Arguments bound to parameter slots (borrowed references; NULL = omitted).
struct Bound {
    const MethodInfo* info = nullptr;
    const char* class_name = nullptr;
    std::array<PyObject*, kMaxParams> slots{};

    PyObject* operator[](std::size_t i) const { return slots[i]; }
    bool given(std::size_t i) const { return slots[i] != nullptr; }

    // Converts parameter i with conv, rewriting a TypeError to
    // "argument 'name': ..." with the original cause kept.
    template <class Conv>
    auto convert(std::size_t i, Conv conv) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        try {
            return conv(slots[i]);
        } catch (const PyErrorSet&) {
            prefix_argument_error(info->params[i]);
            throw;
        }
    }
    // As convert(), with a default for an omitted parameter.
    template <class Conv, class T>
    auto convert_or(std::size_t i, Conv conv, T fallback) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        if (!given(i)) return fallback;
        return convert(i, conv);
    }

    static void prefix_argument_error(const char* param);
};

// Binds args/kwargs against info's parameter list with the interpreter's
// TypeError texts; throws PyErrorSet on failure.
Bound bind(const MethodInfo& info, const char* class_name, PyObject* args, PyObject* kwargs);

// Holds the interpreter lock released for its lifetime.
class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// Acquires the borrow of an instance; throws PyErrorSet with RuntimeError
// "Already mutably borrowed" / "Already borrowed" on conflict.
class BorrowGuard {
public:
    BorrowGuard(std::atomic<std::int64_t>* counter, Access access);
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    std::atomic<std::int64_t>* counter_;
    Access access_;
};

// One call in progress.
template <class S>
struct Call {
    Bound args;
    PyTypeObject* type = nullptr; // the class
    Instance<S>* self = nullptr;  // NULL for static methods and the constructor
    Gil gil = Gil::Keep;

    S& state() const { return *self->state; }

    // Runs f() -- the detector computation on already converted values --
    // with the interpreter lock released when the method says so.
    template <class F>
    decltype(auto) compute(F&& f) const {
        if (gil == Gil::Release) {
            AllowThreads unlocked;
            return f();
        }
        return f();
    }
};

// Wraps a state value into a new object of the class.
template <class S>
PyObject* wrap_new(PyTypeObject* type, S&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = check(alloc(type, 0));
    auto* inst = reinterpret_cast<Instance<S>*>(obj);
    inst->borrow.store(0);
    inst->state = nullptr;
    try {
        inst->state = new S(std::move(value));
    } catch (...) {
        Py_DECREF(obj);
        throw;
    }
    return obj;
}

template <class S>
void dealloc(PyObject* obj) {
    auto* inst = reinterpret_cast<Instance<S>*>(obj);
    delete inst->state;
    inst->state = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// A method row: the info plus the implementation.
template <class S>
struct Method {
    MethodInfo info;
    PyObject* (*impl)(Call<S>&);
    bool is_static = false;
};

// Per-class registry: the class object, created once per process.
template <class S>
struct ClassSlot {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = nullptr;
};

// Verifies that self is an instance of the class (type-mismatch otherwise).
void check_receiver(PyObject* self, PyTypeObject* type, const char* class_name);

template <class S, const Method<S>& M>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        Call<S> call;
        call.type = ClassSlot<S>::type;
        call.gil = M.info.gil;
        if (!M.is_static) {
            check_receiver(self, call.type, ClassSlot<S>::name);
            call.self = reinterpret_cast<Instance<S>*>(self);
        }
        call.args = bind(M.info, ClassSlot<S>::name, args, kwargs);
        std::optional<BorrowGuard> guard;
        if (M.info.access != Access::None) guard.emplace(&call.self->borrow, M.info.access);
        return M.impl(call);
    } catch (...) {
        return translate_current_exception();
    }
}

template <class S, const Method<S>& M>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    try {
        Call<S> call;
        call.type = ClassSlot<S>::type;
        call.gil = M.info.gil;
        check_receiver(self, call.type, ClassSlot<S>::name);
        call.self = reinterpret_cast<Instance<S>*>(self);
        call.args.info = &M.info;
        call.args.class_name = ClassSlot<S>::name;
        std::optional<BorrowGuard> guard;
        if (M.info.access != Access::None) guard.emplace(&call.self->borrow, M.info.access);
        return M.impl(call);
    } catch (...) {
        return translate_current_exception();
    }
}

template <class S, const Method<S>& M>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        Call<S> call;
        call.type = type;
        call.args = bind(M.info, ClassSlot<S>::name, args, kwargs);
        return M.impl(call);
    } catch (...) {
        return translate_current_exception();
    }
}

// The PyMethodDef row of a method: takes-no-arguments methods (num_params 0,
// not static) use METH_NOARGS, the others positional-and-keyword binding.
template <class S, const Method<S>& M>
constexpr PyMethodDef method_def() {
    if constexpr (M.info.num_params == 0 && !M.is_static) {
        return {M.info.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&noargs_entry<S, M>)),
                METH_NOARGS, M.info.doc};
    } else {
        return {M.info.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&method_entry<S, M>)),
                METH_VARARGS | METH_KEYWORDS | (M.is_static ? METH_STATIC : 0), M.info.doc};
    }
}

// Creates the class object once per process from its specification and
// returns a new reference to it.
//   name: bare class name ("Forest"); doc: "Forest(...)\n--\n\n...";
//   methods: NULL-terminated table; repr: the text of repr() and str().
template <class S, const Method<S>& Ctor, std::string (*Repr)(const S&)>
PyObject* class_object(const char* name, const char* full_name, const char* doc, PyMethodDef* methods) {
    if (ClassSlot<S>::type) {
        Py_INCREF(reinterpret_cast<PyObject*>(ClassSlot<S>::type));
        return reinterpret_cast<PyObject*>(ClassSlot<S>::type);
    }
    static auto repr_fn = [](PyObject* self) -> PyObject* {
        try {
            auto* inst = reinterpret_cast<Instance<S>*>(self);
            BorrowGuard guard(&inst->borrow, Access::Read);
            return check(to_py(Repr(*inst->state)));
        } catch (...) {
            return translate_current_exception();
        }
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&new_entry<S, Ctor>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<S>)},
        {Py_tp_repr, reinterpret_cast<void*>(+repr_fn)},
        {Py_tp_str, reinterpret_cast<void*>(+repr_fn)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {full_name, static_cast<int>(sizeof(Instance<S>)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return nullptr;
    ClassSlot<S>::type = reinterpret_cast<PyTypeObject*>(type);
    ClassSlot<S>::name = name;
    Py_INCREF(type); // the slot keeps one reference for the life of the process
    return type;
}

} // namespace tarn::frame
