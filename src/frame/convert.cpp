// Conversion of Python arguments into the plain values the detectors take.
// Every converter either returns the value or sets a Python error and throws
// PyErrorSet; all of it runs with the interpreter lock held, before any
// detector state is touched.
#include <algorithm>
#include <cstring>
#include <string>

#include "frame/frame.hpp"
#include "frame/sequence.hpp"

namespace tarn::frame {

namespace {

std::string utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (!s) throw PyErrorSet{};
    return std::string(s, static_cast<std::size_t>(len));
}

// Takes the pending exception as a normalized value (owned).
Ref fetch_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
}

// A new TypeError with msg whose cause is `cause` (owned, consumed).
Ref type_error_with_cause(const std::string& msg, Ref cause) {
    Ref text(check(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size()))));
    Ref exc(check(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr)));
    if (cause) PyException_SetCause(exc.get(), cause.release());
    return exc;
}

// "TypeName: message", the form used inside the combined form error.
std::string error_text(PyObject* exc) {
    std::string out;
    Ref name(PyType_GetQualName(Py_TYPE(exc)));
    if (name) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
        if (s) out.assign(s, static_cast<std::size_t>(len));
    }
    if (out.empty()) {
        PyErr_Clear();
        out = "<failed to extract type name>";
    }
    Ref str(PyObject_Str(exc));
    Py_ssize_t len = 0;
    const char* s = str ? PyUnicode_AsUTF8AndSize(str.get(), &len) : nullptr;
    if (s) {
        out += ": ";
        out.append(s, static_cast<std::size_t>(len));
    } else {
        PyErr_Clear();
        out += ": <exception str() failed>";
    }
    return out;
}

std::string error_text_with_causes(PyObject* exc) {
    std::string out = error_text(exc);
    Ref cause(PyException_GetCause(exc));
    int guard = 0; // a cause chain can loop; stop after a sane depth
    while (cause && guard++ < 64) {
        out += ", caused by " + error_text(cause.get());
        cause = Ref(PyException_GetCause(cause.get()));
    }
    return out;
}

// Raises the combined form error for a two-form argument kind.
[[noreturn]] void raise_combined(const char* type_name, const char* first, PyObject* first_err, const char* second,
                                 PyObject* second_err) {
    std::string msg = std::string("failed to extract enum ") + type_name + " ('" + first + " | " + second + "')";
    msg += std::string("\n- variant ") + first + " (" + first + "): " + error_text_with_causes(first_err);
    msg += std::string("\n- variant ") + second + " (" + second + "): " + error_text_with_causes(second_err);
    raise(PyExc_TypeError, msg);
}

std::int64_t to_i64(PyObject* o) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    return static_cast<std::int64_t>(v);
}

} // namespace

// ------------------------------------------------------------- scalars

std::uint64_t to_count(PyObject* o) {
    Ref index;
    PyObject* v = o;
    if (!PyLong_Check(o)) {
        index = Ref(check(PyNumber_Index(o)));
        v = index.get();
    }
    const unsigned long long r = PyLong_AsUnsignedLongLong(v);
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return static_cast<std::uint64_t>(r);
}

double to_float(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return v;
}

bool to_flag(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    bool numpy_bool = false;
    {
        Ref module(PyObject_GetAttrString(type, "__module__"));
        if (!module) PyErr_Clear();
        Ref name(PyType_GetName(Py_TYPE(o)));
        if (!name) PyErr_Clear();
        if (module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
            PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
            (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
             PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
            numpy_bool = true;
        }
    }
    if (!numpy_bool) raise_type_mismatch(o, "bool");
    Ref method(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        PyErr_Clear();
        Ref type_text(check(PyObject_Str(type)));
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", type_text.get());
        throw PyErrorSet{};
    }
    Ref result(check(PyObject_CallFunctionObjArgs(method.get(), o, nullptr)));
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    raise_type_mismatch(result.get(), "bool");
}

std::optional<std::uint64_t> to_seed(PyObject* o) {
    if (!o || o == Py_None) return std::nullopt;
    return to_count(o);
}

// ---------------------------------------------------------- composites

std::vector<float> to_point(PyObject* o) {
    return convert_sequence<float>(o, [](PyObject* e) { return static_cast<float>(to_float(e)); });
}

std::vector<double> to_numeric_list(PyObject* o) {
    return convert_sequence<double>(o, [](PyObject* e) { return to_float(e); });
}

std::vector<std::int64_t> to_categorical_list(PyObject* o) { return convert_sequence<std::int64_t>(o, to_i64); }

std::vector<std::uint64_t> to_index_list(PyObject* o) { return convert_sequence<std::uint64_t>(o, to_count); }

namespace {

std::string name_of(PyObject* key) {
    if (!PyUnicode_Check(key)) raise_type_mismatch(key, "str");
    return utf8_of(key);
}

core::FeaturePairs to_pairs(PyObject* o) {
    return convert_sequence<std::pair<std::string, double>>(o, [](PyObject* e) {
        if (!PyTuple_Check(e)) raise_type_mismatch(e, "tuple");
        const Py_ssize_t len = PyTuple_Size(e);
        if (len != 2) {
            raise(PyExc_ValueError,
                  "expected tuple of length 2, but got tuple of length " + std::to_string(static_cast<long long>(len)));
        }
        std::string name = name_of(PyTuple_GetItem(e, 0));
        const double value = to_float(PyTuple_GetItem(e, 1));
        return std::pair<std::string, double>(std::move(name), value);
    });
}

core::FeatureDict to_dict(PyObject* o) {
    if (!PyDict_Check(o)) raise_type_mismatch(o, "dict");
    core::FeatureDict out;
    const Py_ssize_t initial = PyDict_Size(o);
    Py_ssize_t remaining = initial;
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_Size(o) != initial) throw core::InternalError("dictionary changed size during iteration");
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(o, &pos, &key, &value)) break;
        if (remaining-- == 0) throw core::InternalError("dictionary keys changed during iteration");
        Py_INCREF(key);
        Py_INCREF(value);
        Ref hold_key(key), hold_value(value);
        std::string name = name_of(key);
        const double v = to_float(value);
        out.insert_or_assign(std::move(name), v);
    }
    return out;
}

} // namespace

// Both two-form kinds try their forms in a fixed order and, when every form
// fails, report each form's error. A form is only attempted when it can
// apply, so the success path of a conversion throws nothing; the error of a
// form that cannot apply is set directly, with the same text its attempt
// would give.
core::KeyValueLike to_key_value_like(PyObject* o) {
    // A dict (or subclass) is never a sequence and fails the pairs form at
    // once, without running any code of the caller's: go to the dict form,
    // and make the pairs form's error only when the dict form fails too.
    static constexpr const char* kPairsField = "failed to extract field KeyValueLike::Pairs.0";
    const bool is_dict = PyDict_Check(o);
    Ref pairs_err;
    if (!is_dict) {
        try {
            return to_pairs(o);
        } catch (const PyErrorSet&) {}
        pairs_err = type_error_with_cause(kPairsField, fetch_exception());
    }
    try {
        return to_dict(o);
    } catch (const PyErrorSet&) {}
    Ref dict_cause = fetch_exception();
    if (is_dict) {
        set_type_mismatch(o, "Sequence");
        pairs_err = type_error_with_cause(kPairsField, fetch_exception());
    }
    Ref dict_err = type_error_with_cause("failed to extract field KeyValueLike::Dict.0", std::move(dict_cause));
    raise_combined("KeyValueLike", "Pairs", pairs_err.get(), "Dict", dict_err.get());
}

core::StrOrBytes to_str_or_bytes(PyObject* o) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &len);
        if (s) return core::StrOrBytes{false, std::string(s, static_cast<std::size_t>(len))};
    } else {
        PyErr_Clear();
        set_type_mismatch(o, "str");
    }
    Ref str_err = type_error_with_cause("failed to extract field StrOrBytes::Str.0", fetch_exception());
    if (PyBytes_Check(o) || PyByteArray_Check(o)) {
        const bool bytes = PyBytes_Check(o);
        const char* data = bytes ? PyBytes_AsString(o) : PyByteArray_AsString(o);
        const Py_ssize_t len = bytes ? PyBytes_Size(o) : PyByteArray_Size(o);
        if (data && len >= 0) return core::StrOrBytes{true, std::string(data, static_cast<std::size_t>(len))};
    } else {
        try {
            auto bytes = convert_sequence<char>(o, [](PyObject* e) {
                const std::int64_t v = to_i64(e);
                if (v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
                return static_cast<char>(static_cast<unsigned char>(v));
            });
            return core::StrOrBytes{true, std::string(bytes.begin(), bytes.end())};
        } catch (const PyErrorSet&) {}
    }
    Ref bytes_err = type_error_with_cause("failed to extract field StrOrBytes::Bytes.0", fetch_exception());
    raise_combined("StrOrBytes", "Str", str_err.get(), "Bytes", bytes_err.get());
}

std::string to_path(PyObject* o) {
    Ref fs(check(PyOS_FSPath(o)));
    if (!PyUnicode_Check(fs.get())) raise_type_mismatch(fs.get(), "str");
    Ref encoded(check(PyUnicode_EncodeFSDefault(fs.get())));
    const char* data = PyBytes_AsString(encoded.get());
    const Py_ssize_t len = PyBytes_Size(encoded.get());
    if (!data || len < 0) throw PyErrorSet{};
    return std::string(data, static_cast<std::size_t>(len));
}

std::string to_state_text(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_type_mismatch(o, "str");
    return utf8_of(o);
}

} // namespace tarn::frame
