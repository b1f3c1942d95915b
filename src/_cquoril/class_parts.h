// What the Packer and Unpacker types share: their methods' calling scheme,
// the refusal to pickle, and the frame of dealloc.
#pragma once
#include "_cquoril/args.h"

// Every method takes the one argument scheme.
constexpr int METHOD_FLAGS = METH_FASTCALL | METH_KEYWORDS;

// Both classes' parameters of the pickling hooks; each class's params_init
// interns them (once: interned names are kept).
inline const char* const pickle_state_names[] = {"state"};
inline ParamList reduce_params = Params("__reduce__");
inline ParamList setstate_params = Params("__setstate__", pickle_state_names, 1, 1);

// __reduce__ and __setstate__, which check their arguments, then refuse
// with the class's `Message`.
template <const char* Message>
PyObject* refuse_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return refuse_pickling(&reduce_params, args, nargs, kwnames, Message);
}

template <const char* Message>
PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return refuse_pickling(&setstate_params, args, nargs, kwnames, Message);
}

// The method table's entries for the two.
template <const char* Message>
inline PyMethodDef reduce_method() {
  return {"__reduce__", FASTCALL(refuse_reduce<Message>), METHOD_FLAGS, "__reduce__(self)"};
}

template <const char* Message>
inline PyMethodDef setstate_method() {
  return {"__setstate__", FASTCALL(refuse_setstate<Message>), METHOD_FLAGS,
          "__setstate__(self, state)"};
}

// A dealloc's frame: untracked, then `release` frees what the object owns
// with any pending exception put aside (it may run code), then the memory.
template <class Release>
void dealloc_object(PyObject* op, Release release) {
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  PyObject* pending = PyErr_GetRaisedException();
  release();
  PyErr_SetRaisedException(pending);
  type->tp_free(op);
}

// The slots that tell the two classes apart; the rest of their type objects
// is the same: collected, subclassable, immutable.
struct ClassSlots {
  const char* name;
  Py_ssize_t basicsize;
  const char* doc;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
  PyMethodDef* methods;
  initproc init;
  newfunc new_;
  vectorcallfunc vectorcall;
};

inline PyTypeObject class_type(const ClassSlots& s) {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = s.name;
  t.tp_basicsize = s.basicsize;
  t.tp_dealloc = s.dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_doc = s.doc;
  t.tp_traverse = s.traverse;
  t.tp_clear = s.clear;
  t.tp_methods = s.methods;
  t.tp_init = s.init;
  t.tp_new = s.new_;
  t.tp_vectorcall = s.vectorcall;
  return t;
}
