// The frame: the only code that touches the Python interpreter.
//
// A class is declared as a table of Method rows over one generic machinery:
// binding by position and keyword, the borrow of the detector state, argument
// conversion with the "argument 'x': " rewriting, release of the interpreter
// lock around the computation, and the mapping of DetectorError / internal
// failures to Python exceptions. Adding a method is one row and one function:
//
//   constexpr auto kRows = table<Forest>(   // table.hpp
//       "update($self, point)\n--\n\nIncorporate ...",   // a method the frame knows by name
//       method<Forest>("density($self, point)\n--\n\nDensity ...", Access::Read, Gil::Release, forest_density),
//       ...);
//
// The row's docstring begins with the text signature Python shows; the
// frame reads the name, the parameters, the required count and the defaults
// from it at compile time (signature.hpp), so they are written once.
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
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/key_value.hpp"
#include "frame/signature.hpp"

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
// None where there is no value.
template <class T>
PyObject* to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : none();
}

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
enum class Gil { Keep, Release };        // release the lock around compute()

// The Python object behind every detector: one state value and a borrow
// counter (0 free, n > 0 readers, -1 one writer).
template <class S>
struct Instance {
    PyObject_HEAD std::atomic<std::int64_t> borrow;
    S* state;
};

// Everything the generic machinery needs to know about a method, all of it
// read from its docstring except the borrow and the lock.
struct MethodInfo {
    Signature sig;               // sig.name: "update", or the class name for the constructor
    bool is_constructor = false; // binding errors then name it "__new__"
    Access access = Access::None;
    Gil gil = Gil::Keep;
    const char* doc = nullptr; // "update($self, point)\n--\n\n..."; the class doc for the constructor

    std::string_view display_name() const { return is_constructor ? "__new__" : sig.name; }
};

// The value of a default as its text signature writes it ("None", "True",
// "2048", "0.125"), converted to the type the parameter's converter gives.
// Other types have no defaults: their parameters are required, and binding
// refuses a call that omits one.
template <class T>
T default_value(std::string_view) {
    throw core::InternalError("a parameter without a default was omitted");
}
template <>
std::uint64_t default_value<std::uint64_t>(std::string_view text);
template <>
double default_value<double>(std::string_view text);
template <>
bool default_value<bool>(std::string_view text);
template <>
std::optional<std::uint64_t> default_value<std::optional<std::uint64_t>>(std::string_view text);
template <>
std::optional<double> default_value<std::optional<double>>(std::string_view text);

// Arguments bound to parameter slots (borrowed references; NULL = omitted).
struct Bound {
    const MethodInfo* info = nullptr;
    std::array<PyObject*, kMaxParams> slots{};

    PyObject* operator[](std::size_t i) const { return slots[i]; }
    bool given(std::size_t i) const { return slots[i] != nullptr; }

    // Converts parameter i with conv, rewriting a TypeError to
    // "argument 'name': ..." with the original cause kept. An omitted
    // parameter takes the default of the text signature.
    template <class Conv>
    auto convert(std::size_t i, Conv conv) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        using T = decltype(conv(static_cast<PyObject*>(nullptr)));
        if (!given(i)) return default_value<T>(info->sig.defaults[i]);
        try {
            return conv(slots[i]);
        } catch (const PyErrorSet&) {
            prefix_argument_error(info->sig.params[i]);
            throw;
        }
    }

    static void prefix_argument_error(std::string_view param);
};

// Binds args/kwargs against info's parameter list with the interpreter's
// TypeError texts; throws PyErrorSet on failure.
Bound bind(const MethodInfo& info, std::string_view class_name, PyObject* args, PyObject* kwargs);

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
};

// A method declared by its docstring, whose text signature gives its name
// and parameters (see signature.hpp); checked at compile time.
template <class S>
consteval Method<S> method(const char* doc, Access access, Gil gil, PyObject* (*impl)(Call<S>&)) {
    const Signature sig = parse_signature(doc);
    if (sig.is_static && access != Access::None) throw "a static method borrows no instance";
    return {{sig, false, access, gil, doc}, impl};
}

// The constructor, declared by the class docstring ("Forest(input_dim, ...)\n--\n\n...").
template <class S>
consteval Method<S> constructor(const char* class_doc, PyObject* (*impl)(Call<S>&)) {
    Method<S> m = method<S>(class_doc, Access::None, Gil::Keep, impl);
    if (!m.info.sig.is_static) throw "a constructor's text signature has no $self";
    m.info.is_constructor = true;
    return m;
}

// ------------------------------------------- constructors from field lists

// A configuration member filled from one constructor parameter, by a
// converter of its own (`field<&ThresholdConfig::warmup, to_warmup>`).
template <auto Member, auto Convert>
struct Field {
    static constexpr auto member = Member;
    static constexpr auto convert = Convert;
};
template <auto Member, auto Convert>
inline constexpr Field<Member, Convert> field{};

// The class and the type of a pointer to member (data or function).
template <class M>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
    using Class = C;
    using Type = T;
};

namespace ctor_detail {

// A bare member pointer converts by the member's type.
template <auto F>
consteval auto as_field() {
    if constexpr (std::is_member_object_pointer_v<decltype(F)>) {
        using T = typename MemberOf<decltype(F)>::Type;
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            return field<F, &to_count>;
        } else if constexpr (std::is_same_v<T, double>) {
            return field<F, &to_float>;
        } else {
            static_assert(std::is_same_v<T, bool>, "no converter for this member type: name one with field<>");
            return field<F, &to_flag>;
        }
    } else {
        return F;
    }
}

template <auto First, auto...>
struct FirstClass {
    using Type = typename MemberOf<std::remove_const_t<decltype(as_field<First>().member)>>::Class;
};
template <auto... Fields>
using ConfigOf = typename FirstClass<Fields...>::Type;

// The detectors take a seed after their configuration; others only the configuration.
template <class S, class Config>
concept Seeded = requires(const Config& c) { S::create(c, std::optional<std::uint64_t>()); };

template <class S, auto... Fields>
PyObject* construct(Call<S>& c) {
    ConfigOf<Fields...> config;
    std::size_t i = 0;
    ((config.*as_field<Fields>().member = c.args.convert(i++, as_field<Fields>().convert)), ...);
    if constexpr (Seeded<S, ConfigOf<Fields...>>) {
        return wrap_new(c.type, unwrap(S::create(config, c.args.convert(i, to_seed))));
    } else {
        return wrap_new(c.type, unwrap(S::create(config)));
    }
}

} // namespace ctor_detail

// The usual constructor: its parameters fill the configuration members
// Fields in order (member pointers, or field<> where a member has a converter
// of its own), then a detector takes a last parameter `seed`; the class is
// created by S::create. The counts are checked against the text signature.
template <class S, auto... Fields>
consteval Method<S> constructor(const char* class_doc) {
    using namespace ctor_detail;
    constexpr bool seeded = Seeded<S, ConfigOf<Fields...>>;
    const Signature sig = parse_signature(class_doc);
    if (sig.num_params != sizeof...(Fields) + (seeded ? 1 : 0))
        throw "the text signature and the constructor's field list differ in length";
    if (seeded && sig.params[sizeof...(Fields)] != "seed") throw "a detector's last parameter is `seed`";
    return constructor<S>(class_doc, &construct<S, Fields...>);
}

// ------------------------------------------------------- simple accessors

// The impl of a method that returns what a const member function of the
// state gives, with no argument (`getter<&Forest::entries_seen>`).
template <auto Get>
PyObject* getter(Call<typename MemberOf<decltype(Get)>::Class>& c) {
    return to_py((c.state().*Get)());
}

// A method row whose text signature must be exactly `expected` (rows made by
// the shared helpers take the docstring from the class).
template <class S>
consteval Method<S> method_as(std::string_view expected, const char* doc, Access access, Gil gil,
                              PyObject* (*impl)(Call<S>&)) {
    if (!std::string_view(doc).starts_with(expected)) throw "docstring does not start with the expected signature";
    return method<S>(doc, access, gil, impl);
}

// The rows of a method table in order: single rows and arrays of rows.
template <class S, std::size_t N>
constexpr std::array<Method<S>, N> as_rows(const std::array<Method<S>, N>& rows) {
    return rows;
}
template <class S>
constexpr std::array<Method<S>, 1> as_rows(const Method<S>& row) {
    return {row};
}
template <class S, class... Parts>
consteval auto rows(const Parts&... parts) {
    constexpr std::size_t n = (decltype(as_rows<S>(parts))().size() + ... + 0);
    std::array<Method<S>, n> out{};
    std::size_t k = 0;
    const auto append = [&](const auto& part) constexpr {
        for (const Method<S>& m : as_rows<S>(part)) out[k++] = m;
    };
    (append(parts), ...);
    return out;
}

// Per-class registry: the class object, created once per process.
template <class S>
struct ClassSlot {
    static inline PyTypeObject* type = nullptr;
    static inline std::string_view name; // bare class name, for binding errors
};

// Verifies that self is an instance of the class (type-mismatch otherwise).
void check_receiver(PyObject* self, PyTypeObject* type);

// The entry points of row I of a method table Rows (a constexpr array of
// Method<S>) and of the constructor Ctor.
template <class S, const auto& Rows, std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    constexpr const Method<S>& m = Rows[I];
    try {
        Call<S> call;
        call.type = ClassSlot<S>::type;
        call.gil = m.info.gil;
        if (!m.info.sig.is_static) {
            check_receiver(self, call.type);
            call.self = reinterpret_cast<Instance<S>*>(self);
        }
        if constexpr (m.info.sig.num_params == 0 && !m.info.sig.is_static) {
            call.args.info = &m.info; // METH_NOARGS: the interpreter refused any argument
        } else {
            call.args = bind(m.info, ClassSlot<S>::name, args, kwargs);
        }
        std::optional<BorrowGuard> guard;
        if (m.info.access != Access::None) guard.emplace(&call.self->borrow, m.info.access);
        return m.impl(call);
    } catch (...) {
        return translate_current_exception();
    }
}

template <class S, const auto& Rows, std::size_t I>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return method_entry<S, Rows, I>(self, nullptr, nullptr);
}

template <class S, const Method<S>& Ctor>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        Call<S> call;
        call.type = type;
        call.args = bind(Ctor.info, ClassSlot<S>::name, args, kwargs);
        return Ctor.impl(call);
    } catch (...) {
        return translate_current_exception();
    }
}

// The method name as a NUL-terminated string with static storage.
template <const auto& Rows, std::size_t I>
inline constexpr auto kMethodName = [] {
    constexpr std::string_view name = Rows[I].info.sig.name;
    std::array<char, name.size() + 1> out{};
    for (std::size_t k = 0; k < name.size(); ++k) out[k] = name[k];
    return out;
}();

// The PyMethodDef row of a method: takes-no-arguments methods (no
// parameters, not static) use METH_NOARGS, the others positional-and-keyword
// binding.
template <class S, const auto& Rows, std::size_t I>
constexpr PyMethodDef method_def() {
    constexpr const MethodInfo& info = Rows[I].info;
    const char* name = kMethodName<Rows, I>.data();
    if constexpr (info.sig.num_params == 0 && !info.sig.is_static) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&noargs_entry<S, Rows, I>)),
                METH_NOARGS, info.doc};
    } else {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&method_entry<S, Rows, I>)),
                METH_VARARGS | METH_KEYWORDS | (info.sig.is_static ? METH_STATIC : 0), info.doc};
    }
}

// The NULL-terminated PyMethodDef table of a method table.
template <class S, const auto& Rows, std::size_t... I>
PyMethodDef* method_defs(std::index_sequence<I...>) {
    static PyMethodDef defs[] = {method_def<S, Rows, I>()..., {nullptr, nullptr, 0, nullptr}};
    return defs;
}

// Creates the class object once per process and returns a new reference to
// it. Ctor: the constructor row (its docstring is the class's); Rows: the
// method table; full_name: "tarn.tarn.Forest". repr() and str() give the
// state's repr().
template <class S, const Method<S>& Ctor, const auto& Rows>
PyObject* class_object(const char* full_name) {
    if (ClassSlot<S>::type) {
        Py_INCREF(reinterpret_cast<PyObject*>(ClassSlot<S>::type));
        return reinterpret_cast<PyObject*>(ClassSlot<S>::type);
    }
    static auto repr_fn = [](PyObject* self) -> PyObject* {
        try {
            auto* inst = reinterpret_cast<Instance<S>*>(self);
            BorrowGuard guard(&inst->borrow, Access::Read);
            return check(to_py(inst->state->repr()));
        } catch (...) {
            return translate_current_exception();
        }
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&new_entry<S, Ctor>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<S>)},
        {Py_tp_repr, reinterpret_cast<void*>(+repr_fn)},
        {Py_tp_str, reinterpret_cast<void*>(+repr_fn)},
        {Py_tp_doc, const_cast<char*>(Ctor.info.doc)},
        {Py_tp_methods, method_defs<S, Rows>(std::make_index_sequence<Rows.size()>())},
        {0, nullptr},
    };
    static PyType_Spec spec = {full_name, static_cast<int>(sizeof(Instance<S>)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return nullptr;
    ClassSlot<S>::type = reinterpret_cast<PyTypeObject*>(type);
    ClassSlot<S>::name = Ctor.info.sig.name;
    Py_INCREF(type); // the slot keeps one reference for the life of the process
    return type;
}

} // namespace tarn::frame
