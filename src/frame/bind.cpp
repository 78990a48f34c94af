// Binding of positional and keyword arguments to a method's parameter list,
// with the interpreter's own TypeError texts, and the "argument 'x': "
// rewriting of conversion failures.
#include <string>

#include "frame/frame.hpp"

namespace tarn::frame {

namespace {

[[noreturn]] void raise_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw PyErrorSet{};
}

std::string quoted_list(const std::vector<const char*>& names) {
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

} // namespace

Bound bind(const MethodInfo& info, const char* class_name, PyObject* args, PyObject* kwargs) {
    Bound b;
    b.info = &info;
    b.class_name = class_name;
    // The method's display name, built only when an error needs it.
    const auto fname_of = [&] { return std::string(class_name) + "." + info.name + "()"; };

    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw PyErrorSet{};
    if (static_cast<std::size_t>(nargs) > info.num_params) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (info.required == info.num_params) {
            raise_type_error(fname_of() + " takes " + std::to_string(info.num_params) + " positional arguments but " +
                             std::to_string(nargs) + " " + verb + " given");
        }
        raise_type_error(fname_of() + " takes from " + std::to_string(info.required) + " to " +
                         std::to_string(info.num_params) + " positional arguments but " + std::to_string(nargs) +
                         " " + verb + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) b.slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t found = info.num_params;
            for (std::size_t p = 0; p < info.num_params; ++p) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, info.params[p]) == 0) {
                    found = p;
                    break;
                }
            }
            if (found == info.num_params) {
                Ref text(PyObject_Str(key));
                Py_ssize_t len = 0;
                const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
                if (!s) throw PyErrorSet{};
                raise_type_error(fname_of() + " got an unexpected keyword argument '" +
                                 std::string(s, static_cast<std::size_t>(len)) + "'");
            }
            if (b.slots[found]) {
                raise_type_error(fname_of() + " got multiple values for argument '" + info.params[found] + "'");
            }
            b.slots[found] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < info.required; ++p) {
        if (!b.slots[p]) missing.push_back(info.params[p]);
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

void Bound::prefix_argument_error(const char* param) {
    prefix_pending_error(std::string("argument '") + param + "': ", true);
}

} // namespace tarn::frame
