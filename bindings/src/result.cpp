// Result and Table classes, and a Table's export through the Arrow PyCapsule
// stream interface.
#include "result.h"

#include "common/internal_error.h"
#include "common/text.h"
#include "result_tables.h"

namespace quarn::py {

namespace {

// Created once with the module, which exists once per process.
PyTypeObject* g_result_type = nullptr;
PyTypeObject* g_table_type = nullptr;

struct ResultObject {
    PyObject_HEAD
    ResultData* data;
};

struct TableObject {
    PyObject_HEAD
    BatchPtr* batch;
};

template <class T>
T* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return reinterpret_cast<T*>(alloc(type, 0));
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Instances are made by the extension alone, never by calling the class.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

PyObject* make_table(const BatchPtr& batch) {
    auto owned = std::make_unique<BatchPtr>(batch);
    auto* t = alloc_instance<TableObject>(g_table_type);
    if (!t) return nullptr;
    t->batch = owned.release();
    return reinterpret_cast<PyObject*>(t);
}

// --- Table.

void table_dealloc(PyObject* self) {
    delete reinterpret_cast<TableObject*>(self)->batch;
    free_instance(self);
}

const arrow::Batch& batch_of(PyObject* self) { return **reinterpret_cast<TableObject*>(self)->batch; }

Py_ssize_t table_len(PyObject* self) { return static_cast<Py_ssize_t>(batch_of(self).rows); }

PyObject* table_repr(PyObject* self) {
    const arrow::Batch& b = batch_of(self);
    return str_of(fmt("quarn.Table({} rows x {} cols)", b.rows, b.columns.size() - 1)).release();
}

constexpr const char* kStreamCapsule = "arrow_array_stream";

// Releases a stream the consumer never took; a taken one is marked released.
void stream_capsule_free(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

PyObject* table_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"_requested_schema", nullptr};
        PyObject* requested = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(kwlist), &requested))
            return nullptr;
        auto stream = std::make_unique<ArrowArrayStream>();
        arrow::export_stream(*reinterpret_cast<TableObject*>(self)->batch, stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, stream_capsule_free);
        if (!capsule) {
            stream->release(stream.get());
            return nullptr;
        }
        stream.release();
        return capsule;
    });
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_stream__($self, _requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_mp_length, reinterpret_cast<void*>(table_len)},
    {Py_tp_methods, table_methods},
    {Py_tp_doc, const_cast<char*>("A one-batch Arrow table exposed via the PyCapsule stream interface —\n"
                                  "`polars.DataFrame(t)` / `pyarrow.table(t)` import it zero-copy.")},
    {0, nullptr},
};

// --- Result.

const ResultData& data_of(PyObject* self) { return *reinterpret_cast<ResultObject*>(self)->data; }

void result_dealloc(PyObject* self) {
    delete reinterpret_cast<ResultObject*>(self)->data;
    free_instance(self);
}

// The final facts, or the derived ones, by declared type name.
PyObject* table_dict(FactTables& tables, bool derived) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (size_t t = 0; t < tables.size(); ++t) {
        if (auto built = tables.build(t, derived); !built) {
            PyErr_SetString(PyExc_RuntimeError, built.error().c_str());
            return nullptr;
        }
        const FactTables::Type& x = tables.types()[t];
        PyRef table = PyRef::steal(make_table(derived ? x.derived : x.facts));
        if (!table) return nullptr;
        if (PyDict_SetItemString(dict.get(), x.declared.name.c_str(), table.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* result_facts(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return table_dict(*data_of(self).tables, false); });
}

PyObject* result_derived(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return table_dict(*data_of(self).tables, true); });
}

PyObject* result_firings(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const ResultData& d = data_of(self);
        if (!d.firings) {
            auto table = d.audit->table();
            if (!table) {
                PyErr_SetString(PyExc_RuntimeError, table.error().c_str());
                return nullptr;
            }
            d.firings = std::move(table).value();
            d.audit.reset();
        }
        return make_table(d.firings);
    });
}

PyObject* result_deleted_handles(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::vector<uint64_t>& deleted = data_of(self).deleted;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(deleted.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < deleted.size(); ++i) {
            PyObject* n = PyLong_FromUnsignedLongLong(deleted[i]);
            if (!n) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), n);
        }
        return list.release();
    });
}

PyObject* result_fired(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).fired); }

PyObject* result_repr(PyObject* self) {
    const ResultData& d = data_of(self);
    return str_of(fmt("quarn.Result(fired={}, derived_types={}, deleted={})", d.fired, d.tables->size(), d.deleted.size()))
        .release();
}

PyMethodDef result_methods[] = {
    {"facts", result_facts, METH_NOARGS, "facts($self)\n--\n\nFinal working memory, one Arrow table per fact type."},
    {"derived", result_derived, METH_NOARGS,
     "derived($self)\n--\n\nFacts derived (inserted) by rule firings, per type — the WM delta."},
    {"firings", result_firings, METH_NOARGS,
     "firings($self)\n--\n\nLong-format firing audit: (seq, rule, pos, type, handle,\n"
     "values_json) — values as rendered at fire time (post-RHS)."},
    {"deleted_handles", result_deleted_handles, METH_NOARGS,
     "deleted_handles($self)\n--\n\nHandles of Python-inserted facts the run deleted."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"fired", result_fired, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec result_spec = {"quarn._native.Result", static_cast<int>(sizeof(ResultObject)), 0, Py_TPFLAGS_DEFAULT,
                           result_slots};
PyType_Spec table_spec = {"quarn._native.Table", static_cast<int>(sizeof(TableObject)), 0, Py_TPFLAGS_DEFAULT,
                          table_slots};

PyObject* create_type(PyType_Spec* spec, PyTypeObject*& keep) {
    PyObject* type = PyType_FromSpec(spec);
    if (!type) return nullptr;
    // The module holds one reference; this one keeps the class for the process.
    Py_INCREF(type);
    keep = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace

const ResultData* result_data_of(PyObject* o, PyObject* result_type) {
    if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(result_type))) return nullptr;
    return reinterpret_cast<ResultObject*>(o)->data;
}

PyObject* result_type_create(PyObject*) { return create_type(&result_spec, g_result_type); }
PyObject* table_type_create(PyObject*) { return create_type(&table_spec, g_table_type); }

PyObject* make_result(ResultData data) {
    if (!g_result_type || !g_table_type) invariant_broken("the Result class exists before any fire");
    auto owned = std::make_unique<ResultData>(std::move(data));
    auto* r = alloc_instance<ResultObject>(g_result_type);
    if (!r) return nullptr;
    r->data = owned.release();
    return reinterpret_cast<PyObject*>(r);
}

}  // namespace quarn::py
