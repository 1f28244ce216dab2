// The extension module quarn._native: one module object per process, holding
// the classes Session, Result and Table and the function run.
#include "py_support.h"
#include "result.h"
#include "session.h"

namespace quarn::py {

namespace {

// A session of its own, fired once and dropped.
PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"rules", "facts", "fire_limit", "on_fire", "schemas", "events", nullptr};
        PyObject *rules = nullptr, *facts = nullptr, *limit_obj = nullptr, *on_fire = Py_None, *schemas = Py_None,
                 *events = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOO:run", const_cast<char**>(kwlist), &rules, &facts,
                                         &limit_obj, &on_fire, &schemas, &events))
            return nullptr;
        auto limit = fire_limit_arg(limit_obj);
        if (!limit) return nullptr;
        if (!PyDict_Check(facts)) {
            PyErr_Format(PyExc_TypeError, "argument 'facts': '%s' object cannot be converted to 'PyDict'",
                         type_name_of(facts).c_str());
            return nullptr;
        }
        auto session = PySession::create(rules, facts, schemas, events);
        if (!session) return nullptr;
        auto result = session->fire(*limit, on_fire == Py_None ? nullptr : on_fire);
        if (!result) return nullptr;
        return result->release();
    });
}

PyMethodDef module_functions[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_VARARGS | METH_KEYWORDS,
     "run(rules, facts, fire_limit=100000, on_fire=None, schemas=None, events=None)\n--\n\n"
     "One-call convenience: build a session from tables, fire, return the\n"
     "result. `quarn.run(rules, {\"P\": df})`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    // m_size 0, not -1: CPython then calls the init function again in another
    // interpreter instead of copying this module there, so the refusal below runs.
    PyModuleDef_HEAD_INIT, "_native", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
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
