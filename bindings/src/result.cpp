// Result and Table classes. Firing is not wired up yet, so no instance is ever
// made; the classes exist so the module's surface is complete at import.
#include "result.h"

namespace quarn::py {

namespace {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*);

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_doc, const_cast<char*>("A one-batch Arrow table exposed via the PyCapsule stream interface —\n"
                                  "`polars.DataFrame(t)` / `pyarrow.table(t)` import it zero-copy.")},
    {0, nullptr},
};

PyType_Spec result_spec = {"quarn._native.Result", static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT, result_slots};
PyType_Spec table_spec = {"quarn._native.Table", static_cast<int>(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT, table_slots};

// Instances are made by the extension alone, never by calling the class.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

}  // namespace

PyObject* result_type_create(PyObject*) { return PyType_FromSpec(&result_spec); }
PyObject* table_type_create(PyObject*) { return PyType_FromSpec(&table_spec); }

}  // namespace quarn::py
