// The class objects the frame builds, one factory per class, and the entry
// by which a module (tarn.tarn, or a private feature module) lists one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarn::frame {

PyObject* featuresketch_class();
PyObject* mstream_class();
PyObject* onlineiforest_class();
PyObject* forest_class();
PyObject* threshold_class();

struct ClassEntry {
    const char* name;
    PyObject* (*make)(); // new reference to the class object, or NULL with an error set
};

} // namespace tarn::frame
