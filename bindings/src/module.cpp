// The extension module quarn._native: one module object per process, holding
// the classes Session, Result and Table and the function run.
#include "py_support.h"
#include "result.h"
#include "session.h"

namespace quarn::py {

namespace {

PyObject* run(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "run: firing is not available in this build yet");
    return nullptr;
}

PyMethodDef module_functions[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_VARARGS | METH_KEYWORDS,
     "run(rules, facts, fire_limit=100000, on_fire=None, schemas=None, events=None)\n--\n\n"
     "One-call convenience: build a session from tables, fire, return the\n"
     "result. ``quarn.run(rules, {\"P\": df})``."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module and the interpreter that created it: a repeated import returns
// the same object, another interpreter is refused.
PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

bool add_type(PyObject* module, const char* name, PyObject* type) {
    if (!type) return false;
    if (PyModule_AddObject(module, name, type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

PyObject* create_module() {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_module) {
        if (interpreter != g_interpreter) {
            PyErr_SetString(PyExc_ImportError, "quarn._native cannot be loaded by more than one interpreter per process");
            return nullptr;
        }
        Py_INCREF(g_module);
        return g_module;
    }
    init_internal_error_class();
    if (!internal_error_class()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!add_type(module.get(), "Session", session_type_create(module.get()))) return nullptr;
    if (!add_type(module.get(), "Result", result_type_create(module.get()))) return nullptr;
    if (!add_type(module.get(), "Table", table_type_create(module.get()))) return nullptr;
    if (PyModule_AddFunctions(module.get(), module_functions) < 0) return nullptr;
    g_interpreter = interpreter;
    g_module = module.get();
    Py_INCREF(g_module);
    return module.release();
}

}  // namespace

}  // namespace quarn::py

extern "C" PyMODINIT_FUNC PyInit__native() {
    return quarn::py::guarded<PyObject*>(nullptr, [] { return quarn::py::create_module(); });
}
