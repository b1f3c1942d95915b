// CPython's private names, each used only under the version that proves it; the public
// API everywhere else.
#pragma once
#include "ref.h"

#include <cstring>

// Nothing newer than 3.13 is assumed to keep a private name.
#define QUORIL_CPYTHON_313 (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000)

// The semantics of _PyBytes_Resize: the first min(old, size) bytes are kept; on failure
// *bytes is released and null. Elsewhere a copy, as the Packer's own result is.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) {
#if QUORIL_CPYTHON_313
  return _PyBytes_Resize(bytes, size);
#else
  PyObject* resized = PyBytes_FromStringAndSize(nullptr, size);
  if (!resized) {
    Py_CLEAR(*bytes);
    return -1;
  }
  Py_ssize_t kept = PyBytes_GET_SIZE(*bytes) < size ? PyBytes_GET_SIZE(*bytes) : size;
  std::memcpy(PyBytes_AS_STRING(resized), PyBytes_AS_STRING(*bytes), static_cast<size_t>(kept));
  Py_SETREF(*bytes, resized);
  return 0;
#endif
}

inline PyObject* dict_new_presized(Py_ssize_t n) {
#if QUORIL_CPYTHON_313
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}
