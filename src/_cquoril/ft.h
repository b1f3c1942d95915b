// Everything that differs between the free-threaded and the default build.
#pragma once
#include "compat.h"
#include "ref.h"

#ifdef Py_GIL_DISABLED
constexpr bool FREE_THREADED = true;
#else
constexpr bool FREE_THREADED = false;
#endif

// The default build's allocator grows a large block by remapping its pages;
// the free-threaded build's (mimalloc) copies it into fresh, cold pages. A
// growing bytes object is then the cheaper home for a large result only on
// the default build; on the other, a warm block copied once wins.
constexpr bool LARGE_REALLOC_REMAPS = !FREE_THREADED;

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

// A list being built by the decoder is stored into without a lock. Another
// thread could find it through the garbage collector and resize it meanwhile,
// so the free-threaded build keeps it out of the collector's sight until it
// is complete; its owner's traversal visits what it holds instead.
#if defined(Py_GIL_DISABLED) && QUORIL_CPYTHON_313
// 3.13t keeps "tracked" as the low bit of ob_gc_bits; flipping it in place
// saves two calls per list on array-heavy documents.
constexpr uint8_t GC_BIT_TRACKED = 1;

inline void hide_while_built(PyObject* list) {
  uint8_t bits = __atomic_load_n(&list->ob_gc_bits, __ATOMIC_RELAXED);
  __atomic_store_n(&list->ob_gc_bits, static_cast<uint8_t>(bits & ~GC_BIT_TRACKED),
                   __ATOMIC_RELAXED);
}

inline void show_when_built(PyObject* list) {
  uint8_t bits = __atomic_load_n(&list->ob_gc_bits, __ATOMIC_RELAXED);
  __atomic_store_n(&list->ob_gc_bits, static_cast<uint8_t>(bits | GC_BIT_TRACKED),
                   __ATOMIC_RELAXED);
}
#elif defined(Py_GIL_DISABLED)
inline void hide_while_built(PyObject* list) { PyObject_GC_UnTrack(list); }

inline void show_when_built(PyObject* list) {
  if (!PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
}
#else
inline void hide_while_built(PyObject*) {}
inline void show_when_built(PyObject*) {}
#endif

// Visits a container held by a decoder, whether or not the collector tracks it.
inline int visit_held(PyObject* container, visitproc visit, void* arg) {
  if (!container) return 0;
  if (PyObject_GC_IsTracked(container)) return visit(container, arg);
  traverseproc traverse = Py_TYPE(container)->tp_traverse;
  return traverse ? traverse(container, visit, arg) : 0;
}

inline void module_declare_no_gil(PyObject* module) {
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
  (void)module;
#endif
}

// Interning is free-threading-hostile (immortal, process-wide lock), so only
// the default build interns decoded keys; the free-threaded build relies on
// the decoder's key cache alone. `fresh_key` is a new exact str.
inline void intern_fresh_key(PyObject** fresh_key) {
#ifdef Py_GIL_DISABLED
  (void)fresh_key;
#else
  PyUnicode_InternInPlace(fresh_key);
#endif
}

inline void intern_key(PyObject** key) {
#ifdef Py_GIL_DISABLED
  (void)key;
#else
  if (PyUnicode_CheckExact(*key) && !PyUnicode_CHECK_INTERNED(*key)) PyUnicode_InternInPlace(key);
#endif
}
