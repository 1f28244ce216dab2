// The classes Result and Table: what a fire hands back. Neither can be
// constructed from Python; tables come only from a Result.
#pragma once

#include "py_support.h"

namespace quarn::py {

PyObject* result_type_create(PyObject* module);
PyObject* table_type_create(PyObject* module);

}  // namespace quarn::py
