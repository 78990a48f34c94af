// Binding of positional and keyword arguments to a method's parameter list,
// with the interpreter's own TypeError texts, and the "argument 'x': "
// rewriting of conversion failures.
#include <charconv>
#include <optional>
#include <string>

#include "frame/frame.hpp"

namespace tarn::frame {

namespace {

[[noreturn]] void raise_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw PyErrorSet{};
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

// Whether the keyword key (any object) is the parameter name.
bool is_name(PyObject* key, std::string_view name) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) { // a str that has no UTF-8 form (lone surrogates) names no parameter
        PyErr_Clear();
        return false;
    }
    return std::string_view(text, static_cast<std::size_t>(len)) == name;
}

} // namespace

Bound bind(const MethodInfo& info, std::string_view class_name, PyObject* args, PyObject* kwargs) {
    const Signature& sig = info.sig;
    Bound b;
    b.info = &info;
    // The method's display name, built only when an error needs it.
    const auto fname_of = [&] { return std::string(class_name) + "." + std::string(info.display_name()) + "()"; };

    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw PyErrorSet{};
    if (static_cast<std::size_t>(nargs) > sig.num_params) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (sig.required == sig.num_params) {
            raise_type_error(fname_of() + " takes " + std::to_string(sig.num_params) + " positional arguments but " +
                             std::to_string(nargs) + " " + verb + " given");
        }
        raise_type_error(fname_of() + " takes from " + std::to_string(sig.required) + " to " +
                         std::to_string(sig.num_params) + " positional arguments but " + std::to_string(nargs) + " " +
                         verb + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) b.slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t found = sig.num_params;
            for (std::size_t p = 0; p < sig.num_params; ++p) {
                if (is_name(key, sig.params[p])) {
                    found = p;
                    break;
                }
            }
            if (found == sig.num_params) {
                Ref text(PyObject_Str(key));
                Py_ssize_t len = 0;
                const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
                if (!s) throw PyErrorSet{};
                raise_type_error(fname_of() + " got an unexpected keyword argument '" +
                                 std::string(s, static_cast<std::size_t>(len)) + "'");
            }
            if (b.slots[found]) {
                raise_type_error(fname_of() + " got multiple values for argument '" + std::string(sig.params[found]) +
                                 "'");
            }
            b.slots[found] = value;
        }
    }

    std::vector<std::string_view> missing;
    for (std::size_t p = 0; p < sig.required; ++p) {
        if (!b.slots[p]) missing.push_back(sig.params[p]);
    }
    if (!missing.empty()) {
        raise_type_error(fname_of() + " missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    }
    return b;
}

void prefix_pending_error(const std::string& prefix, bool type_errors_only) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    const bool rewritten =
        type == PyExc_TypeError || (!type_errors_only && (type == PyExc_ValueError || type == PyExc_OverflowError));
    if (!rewritten) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref old_type(type), old_value(value), old_tb(tb);
    Ref text(old_value ? PyObject_Str(old_value.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = Ref(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return;
    }
    Ref msg(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    if (!msg) return;
    PyErr_SetObject(type, msg.get());
    // Keep the cause of the replaced exception.
    PyObject* cause = old_value ? PyException_GetCause(old_value.get()) : nullptr;
    if (cause) {
        PyObject *t = nullptr, *v = nullptr, *b = nullptr;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        PyException_SetCause(v, cause); // steals cause
        PyErr_Restore(t, v, b);
    }
}

void Bound::prefix_argument_error(std::string_view param) {
    prefix_pending_error("argument '" + std::string(param) + "': ", true);
}

namespace {

template <class T>
T read_number(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        throw core::InternalError("a default of a text signature does not read as a number");
    return value;
}

} // namespace

template <>
std::uint64_t default_value<std::uint64_t>(std::string_view text) {
    return read_number<std::uint64_t>(text);
}
template <>
double default_value<double>(std::string_view text) {
    return read_number<double>(text);
}
template <>
bool default_value<bool>(std::string_view text) {
    if (text != "True" && text != "False") throw core::InternalError("a default of a text signature is not a bool");
    return text == "True";
}
template <>
std::optional<std::uint64_t> default_value<std::optional<std::uint64_t>>(std::string_view text) {
    if (text == "None") return std::nullopt;
    return default_value<std::uint64_t>(text);
}
template <>
std::optional<double> default_value<std::optional<double>>(std::string_view text) {
    if (text == "None") return std::nullopt;
    return default_value<double>(text);
}

} // namespace tarn::frame
