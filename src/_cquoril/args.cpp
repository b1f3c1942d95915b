#include "_cquoril/args.h"
#include "_cquoril/ft.h"

#include <pthread.h>

#include <cstring>

namespace {

// Room kept below the check for what runs before the next one: a hook's
// frames, the interpreter's own calls, raising and unwinding.
constexpr uintptr_t STACK_RESERVE = 64 * 1024;

// The low end of the thread's own stack; 0 when unknown.
thread_local uintptr_t stack_low [[gnu::tls_model("initial-exec")]] = 0;

uintptr_t find_stack_floor() {
  uintptr_t floor = 1;  // unknown bounds: never refuse
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* low;
    size_t size;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > STACK_RESERVE) {
      stack_low = reinterpret_cast<uintptr_t>(low);
      floor = stack_low + STACK_RESERVE;
    }
    pthread_attr_destroy(&attr);
  }
  return floor;
}

}  // namespace

// The lowest address this thread's calls may reach, plus the reserve; the
// highest address until first asked. A fact about the thread, found once.
thread_local uintptr_t stack_floor [[gnu::tls_model("initial-exec")]] = UINTPTR_MAX;

int check_stack_room_slow() {
  if (stack_floor == UINTPTR_MAX) {
    stack_floor = find_stack_floor();
    if (check_stack_room() == 0) return 0;
  }
  // Below the thread's own stack: running on one switched to by a coroutine
  // library, whose bounds are unknown here.
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_low) return 0;
  PyErr_SetString(PyExc_RecursionError,
                  "maximum recursion depth exceeded: too little C stack left for a nested call");
  return -1;
}

int params_init(ParamList* pl) {
  for (int i = 0; i < pl->nparams; i++) {
    if (pl->interned[i]) continue;
    pl->interned[i] = PyUnicode_InternFromString(pl->names[i]);
    if (!pl->interned[i]) return -1;
  }
  return 0;
}

static void raise_count(const ParamList* pl, const char* how, Py_ssize_t expected,
                        Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               pl->fname, how, expected, expected == 1 ? "" : "s", given);
}

static int find_param(const ParamList* pl, PyObject* key) {
  for (int i = 0; i < pl->nparams; i++)
    if (pl->interned[i] == key) return i;
  for (int i = 0; i < pl->nparams; i++) {
    int eq = PyUnicode_Compare(key, pl->interned[i]);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

int parse_args(const ParamList* pl, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** slots) {
  if (check_stack_room() < 0) return -1;
  if (nargs > pl->npos) {
    raise_count(pl, pl->npos == pl->nreq ? "exactly" : "at most", pl->npos, nargs);
    return -1;
  }
  for (int i = 0; i < pl->nparams; i++) slots[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; k++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", pl->fname);
      return -1;
    }
    int i = find_param(pl, key);
    if (i == -2) return -1;
    if (i == -1) {
      if (pl->ignore_unknown) continue;
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   pl->fname, key);
      return -1;
    }
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   pl->fname, key);
      return -1;
    }
    slots[i] = args[nargs + k];
  }
  for (int i = 0; i < pl->nreq; i++) {
    if (!slots[i]) {
      raise_count(pl, "exactly", pl->nreq, i);
      return -1;
    }
  }
  return 0;
}

int flatten_args(PyObject* args, PyObject* kwargs, FlatArgs* out) {
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  out->nargs = nargs;
  if (!kwargs || !PyDict_GET_SIZE(kwargs)) {
    out->storage = Ref::borrow(args);
    return 0;
  }
  CriticalSection locked(kwargs);
  Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  Ref values(PyTuple_New(nargs + nkw));
  Ref names(PyTuple_New(nkw));
  if (!values || !names) return -1;
  for (Py_ssize_t i = 0; i < nargs; i++)
    PyTuple_SET_ITEM(values.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
    PyTuple_SET_ITEM(values.get(), nargs + k, Py_NewRef(value));
    k++;
  }
  out->storage = std::move(values);
  out->kwnames = std::move(names);
  return 0;
}

int parse_tuple_dict(const ParamList* pl, PyObject* args, PyObject* kwargs,
                     FlatArgs* keep, PyObject** slots) {
  if (flatten_args(args, kwargs, keep) < 0) return -1;
  return parse_args(pl, keep->array(), keep->nargs, keep->kwnames.get(), slots);
}

int convert_bool(PyObject* obj, bool* out) {
  if (obj == Py_True) { *out = true; return 0; }
  if (obj == Py_False || obj == Py_None) { *out = false; return 0; }
  int truth = PyObject_IsTrue(obj);
  if (truth < 0) return -1;
  *out = truth != 0;
  return 0;
}

// An int object for obj: obj itself when it is an int, else what __int__ gives.
static Ref int_value(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return Ref();
  }
  Ref result(nb->nb_int(obj));
  if (!result || PyLong_CheckExact(result.get())) return result;
  if (!PyLong_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return Ref();
  }
  if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                       "__int__ returned non-int (type %.200s).  The ability to return an "
                       "instance of a strict subclass of int is deprecated, and may be "
                       "removed in a future version of Python.",
                       Py_TYPE(result.get())->tp_name) < 0)
    return Ref();
  return result;
}

// From this magnitude on, an int too large for a C int gets the interpreter's
// own message; below it, the converter's "value too large".
constexpr long long INTERPRETER_OVERFLOW_FROM = 1LL << 60;

// The interpreter's own error for an int that overflows a C int.
static int raise_c_int_overflow(PyObject* value) {
  int ignored = PyLong_AsInt(value);
  (void)ignored;
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
  return -1;
}

// An int in [lo, hi]. Beyond [own_lo, own_hi] the error is the interpreter's
// own, between the two ranges the converter's, naming `ctype`.
static int convert_bounded(PyObject* obj, long long own_lo, long long own_hi, long long lo,
                           long long hi, const char* ctype, long long* out) {
  Ref value = int_value(obj);
  if (!value) return -1;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (overflow || v < own_lo || v > own_hi) return raise_c_int_overflow(value.get());
  if (v < lo || v > hi) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", ctype);
    return -1;
  }
  *out = v;
  return 0;
}

int convert_int(PyObject* obj, int* out) {
  long long v;
  if (convert_bounded(obj, -INTERPRETER_OVERFLOW_FROM + 1, INTERPRETER_OVERFLOW_FROM - 1,
                      INT32_MIN, INT32_MAX, "int", &v) < 0)
    return -1;
  *out = static_cast<int>(v);
  return 0;
}

int convert_char(PyObject* obj, int8_t* out) {
  long long v;
  if (convert_bounded(obj, INT32_MIN, INT32_MAX, INT8_MIN, INT8_MAX, "char", &v) < 0) return -1;
  *out = static_cast<int8_t>(v);
  return 0;
}

int convert_long(PyObject* obj, long long* out) {
  Ref value = int_value(obj);
  if (!value) return -1;
  long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  *out = v;
  return 0;
}

int convert_unsigned(PyObject* obj, const char* ctype, unsigned long long* out) {
  Ref value = int_value(obj);
  if (!value) return -1;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (overflow < 0 || (!overflow && v < 0)) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", ctype);
    return -1;
  }
  if (!overflow) {
    *out = static_cast<unsigned long long>(v);
    return 0;
  }
  unsigned long long u = PyLong_AsUnsignedLongLong(value.get());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  *out = u;
  return 0;
}

int convert_ssize(PyObject* obj, Py_ssize_t* out) {
  Py_ssize_t v = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) return -1;
  *out = v;
  return 0;
}

int convert_byte_string(PyObject* obj, const char** data, Py_ssize_t* len) {
  if (PyUnicode_Check(obj)) {
    if (!PyUnicode_IS_ASCII(obj)) {
      Ref failed(PyUnicode_AsASCIIString(obj));
      if (!failed) return -1;
    }
    *data = PyUnicode_AsUTF8AndSize(obj, len);
    return *data ? 0 : -1;
  }
  if (PyByteArray_Check(obj)) {
    *data = PyByteArray_AS_STRING(obj);
    *len = PyByteArray_GET_SIZE(obj);
    return 0;
  }
  char* p = nullptr;
  if (PyBytes_AsStringAndSize(obj, &p, len) < 0) return -1;
  *data = p;
  return 0;
}

int convert_text_option(PyObject* obj, Ref* owner, const char** text) {
  Ref held = Ref::borrow(obj);
  if (PyByteArray_Check(obj)) {
    // A bytearray can be resized or released while the text is still in use.
    held = Ref(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj)));
    if (!held) return -1;
  }
  Py_ssize_t len;
  if (convert_byte_string(held.get(), text, &len) < 0) return -1;
  *owner = std::move(held);
  return 0;
}

PyObject* call_type_generic(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  Ref tuple(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    kwargs = Ref(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); k++)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
        return nullptr;
  }
  return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

PyObject* refuse_pickling(const ParamList* pl, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, const char* message) {
  PyObject* slots[MAX_PARAMS];
  if (parse_args(pl, args, nargs, kwnames, slots) < 0) return nullptr;
  PyErr_SetString(PyExc_TypeError, message);
  return nullptr;
}
