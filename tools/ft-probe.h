// Forced into every file of the free-threaded compile check (tools/next.sh): proves the
// headers took the free-threaded object layout, whose header carries the owning thread
// and split reference counts ahead of ob_type. CMake's own compiler checks see no
// Python headers and skip it.
#pragma once
#if __has_include(<Python.h>)
#include <Python.h>

#include <cstddef>

#ifndef Py_GIL_DISABLED
#error "Py_GIL_DISABLED is not defined"
#endif
static_assert(offsetof(PyObject, ob_type) > 2 * sizeof(void*),
              "the headers did not take the free-threaded object layout");
#endif
