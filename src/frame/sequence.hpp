// The walk over a Python sequence shared by every list conversion: single
// records (a point, a list of categories) and the rows of a batch.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "frame/frame.hpp"

namespace tarn::frame {

// Space reserved up front from a claimed length; a huge __len__ must not
// turn into a huge allocation.
inline constexpr Py_ssize_t kMaxReserve = 1 << 16;

[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw PyErrorSet{};
}

// Refuses str and non-sequences with the list conversion's texts, then
// calls visit(item) for every item in order.
template <class Visit>
void for_each_item(PyObject* o, Visit visit) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_type_mismatch(o, "Sequence");
    if (PyTuple_CheckExact(o)) {
        const Py_ssize_t size = PyTuple_Size(o);
        for (Py_ssize_t i = 0; i < size; ++i) visit(PyTuple_GetItem(o, i));
        return;
    }
    if (PyList_CheckExact(o)) {
        // Same visiting rule as the list iterator: the length is re-read at
        // every step, and the element is held while converting it.
        for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
            PyObject* item = PyList_GetItem(o, i);
            Py_INCREF(item);
            Ref hold(item);
            visit(item);
        }
        return;
    }
    Ref it(check(PyObject_GetIter(o)));
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            check_no_error();
            break;
        }
        visit(item.get());
    }
}

// The claimed length of o capped at kMaxReserve, for reserving (0 when it
// has none).
inline std::size_t reserve_hint(PyObject* o) {
    const Py_ssize_t n = PyObject_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(n, kMaxReserve));
}

// Every number list: each item converted by elem.
template <class T, class Elem>
std::vector<T> convert_sequence(PyObject* o, Elem elem) {
    std::vector<T> out;
    if (!PyUnicode_Check(o) && PySequence_Check(o)) out.reserve(reserve_hint(o));
    for_each_item(o, [&](PyObject* item) { out.push_back(elem(item)); });
    return out;
}

} // namespace tarn::frame
