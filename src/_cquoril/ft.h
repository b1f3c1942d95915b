// Everything that differs between the free-threaded and the default build.
#pragma once
#include "ref.h"

#ifdef Py_GIL_DISABLED
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* op) { PyCriticalSection_Begin(&cs_, op); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  PyCriticalSection cs_;
};
#else
class CriticalSection {
 public:
  explicit CriticalSection(PyObject*) {}
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
};
#endif

// A new reference to list[i], or null (no error set) once i is past the end.
// The free-threaded build must not read a slot another thread may be resizing.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
  if (i >= PyList_GET_SIZE(list)) return nullptr;
  PyObject* item = PyList_GetItemRef(list, i);
  if (!item) PyErr_Clear();
  return item;
#else
  if (i >= PyList_GET_SIZE(list)) return nullptr;
  return Py_NewRef(PyList_GET_ITEM(list, i));
#endif
}

inline void module_declare_no_gil(PyObject* module) {
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
  (void)module;
#endif
}
