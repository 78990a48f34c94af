// Python exceptions raised by the frame: the DetectorError mapping,
// PanicException, the type-mismatch error and the translation of C++
// exceptions at every entry point.
#include <new>
#include <string>

#include "frame/frame.hpp"

namespace tarn::frame {

PyObject* check(PyObject* p) {
    if (!p) throw PyErrorSet{};
    return p;
}

void check_no_error() {
    if (PyErr_Occurred()) throw PyErrorSet{};
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "tarn.PanicException",
            "Signals an internal failure of the tarn extension: a broken invariant, not a caller's error.\n\n"
            "It derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (!type) return; // creating the class failed; that error stays set
    PyErr_SetString(type, message);
}

void raise_detector_error(const core::DetectorError& e, std::string_view prefix) {
    using core::ErrorKind;
    // Only InvalidArgument surfaces as its bare text.
    const std::string text = std::string(prefix) + (e.kind == ErrorKind::InvalidArgument ? e.text : e.display());
    const bool value_error = e.kind == ErrorKind::InvalidArgument || e.kind == ErrorKind::DimensionMismatch;
    PyErr_SetString(value_error ? PyExc_ValueError : PyExc_RuntimeError, text.c_str());
    throw PyErrorSet{};
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) set_panic("error indicator missing after a failed call");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const core::InternalError& e) {
        set_panic(e.what());
    } catch (const std::length_error&) {
        // A size that cannot be reserved is an allocation failure.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
    return nullptr;
}

namespace {

// The qualified name of a type, or the stand-in when it cannot be read.
std::string qualname_of(PyTypeObject* type) {
    Ref name(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (!text) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(text, static_cast<std::size_t>(len));
}

} // namespace

void set_type_mismatch(PyObject* obj, const char* target_qualname) {
    std::string msg = "'";
    if (obj == Py_None) {
        msg += "None' is not an instance of '";
    } else {
        msg += qualname_of(Py_TYPE(obj));
        msg += "' object is not an instance of '";
    }
    msg += target_qualname;
    msg += "'";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void raise_type_mismatch(PyObject* obj, const char* target_qualname) {
    set_type_mismatch(obj, target_qualname);
    throw PyErrorSet{};
}

void check_receiver(PyObject* self, PyTypeObject* type) {
    if (!self || !type || !PyObject_TypeCheck(self, type)) {
        std::string target = type ? qualname_of(type) : "?";
        raise_type_mismatch(self ? self : Py_None, target.c_str());
    }
}

// ------------------------------------------------------------ results

PyObject* none() { Py_RETURN_NONE; }
PyObject* to_py(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
PyObject* to_py(double v) { return check(PyFloat_FromDouble(v)); }
PyObject* to_py(bool v) {
    if (v) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}
PyObject* to_py(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class T>
static PyObject* list_of_floats(const std::vector<T>& v) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = check(PyFloat_FromDouble(static_cast<double>(v[i])));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item); // steals item
    }
    return list.release();
}
PyObject* to_py(const std::vector<float>& v) { return list_of_floats(v); }
PyObject* to_py(const std::vector<double>& v) { return list_of_floats(v); }

// ------------------------------------------------------------- borrow

BorrowGuard::BorrowGuard(std::atomic<std::int64_t>* counter, Access access) : counter_(counter), access_(access) {
    if (access == Access::Write) {
        std::int64_t expected = 0;
        if (!counter->compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw PyErrorSet{};
        }
    } else {
        std::int64_t cur = counter->load(std::memory_order_relaxed);
        for (;;) {
            if (cur < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw PyErrorSet{};
            }
            if (counter->compare_exchange_weak(cur, cur + 1, std::memory_order_acquire)) break;
        }
    }
}

BorrowGuard::~BorrowGuard() {
    if (access_ == Access::Write) {
        counter_->store(0, std::memory_order_release);
    } else {
        counter_->fetch_sub(1, std::memory_order_release);
    }
}

} // namespace tarn::frame
