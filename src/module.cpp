// The extension module tarn.tarn: multi-phase initialisation whose one
// execution step creates the classes and fills the module.
#include "frame/classes.hpp"

namespace {

using tarn::frame::ClassEntry;

// The order of the entries is the order of the module's __all__.
const ClassEntry kClasses[] = {
    {"FeatureSketch", tarn::frame::featuresketch_class},
    {"MStream", tarn::frame::mstream_class},
    {"OnlineIForest", tarn::frame::onlineiforest_class},
    {"Forest", tarn::frame::forest_class},
};

// From pyproject.toml, by the build (the one place the version is written).
#ifndef TARN_VERSION
#error "TARN_VERSION is defined by the build from pyproject.toml"
#endif
constexpr const char* kVersion = TARN_VERSION;

// Appends name to the module's __all__ (creating the list when absent), then
// sets the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
    for (const ClassEntry& r : kClasses) {
        PyObject* cls = r.make();
        if (!cls) return -1;
        const int rc = add_public(module, r.name, cls);
        Py_DECREF(cls);
        if (rc < 0) return -1;
    }
    PyObject* version = PyUnicode_FromString(kVersion);
    if (!version) return -1;
    const int rc = add_public(module, "__version__", version);
    Py_DECREF(version);
    return rc;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tarn",  // m_name
    nullptr, // m_doc: empty module docstring
    0,       // m_size: no per-module state
    nullptr, // m_methods: no module-level functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_tarn(void) { return PyModuleDef_Init(&kModule); }
