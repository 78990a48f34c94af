// Private extension modules of the same shared library, one per feature
// module beyond the five public names: tarn._alerts (for tarn.alerts), ...
// Each is loaded by its Python module from this very file (see
// python/tarn/_native.py), so the frame's class objects and PanicException
// exist once per process, and tarn.tarn keeps exactly its public names.
#include "frame/classes.hpp"

namespace {

using tarn::frame::ClassEntry;

template <const ClassEntry* Classes, std::size_t N>
int exec_classes(PyObject* module) {
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* cls = Classes[i].make();
        if (!cls) return -1;
        const int rc = PyModule_AddObjectRef(module, Classes[i].name, cls);
        Py_DECREF(cls);
        if (rc < 0) return -1;
    }
    return 0;
}

#define TARN_SUBMODULE(NAME, ...)                                                                                      \
    constexpr ClassEntry k##NAME##Classes[] = {__VA_ARGS__};                                                           \
    PyModuleDef_Slot k##NAME##Slots[] = {                                                                              \
        {Py_mod_exec,                                                                                                  \
         reinterpret_cast<void*>(&exec_classes<k##NAME##Classes, sizeof k##NAME##Classes / sizeof(ClassEntry)>)},      \
        {0, nullptr},                                                                                                  \
    };                                                                                                                 \
    PyModuleDef k##NAME##Module = {PyModuleDef_HEAD_INIT, "tarn." #NAME, nullptr, 0,      nullptr,                     \
                                   k##NAME##Slots,        nullptr,       nullptr, nullptr};

TARN_SUBMODULE(_alerts, {"Threshold", tarn::frame::threshold_class})

} // namespace

PyMODINIT_FUNC PyInit__alerts(void) { return PyModuleDef_Init(&k_alertsModule); }
