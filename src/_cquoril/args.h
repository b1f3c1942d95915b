// The one argument scheme shared by every callable, and the value converters.
#pragma once
#include "ref.h"

#include <cstddef>
#include <cstdint>

// A METH_FASTCALL | METH_KEYWORDS function as a method table takes it.
#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The most parameters a callable takes (the Unpacker has 17).
constexpr int MAX_PARAMS = 24;

// A callable's parameters. Names are interned once, at module exec.
struct ParamList {
  const char* fname;            // the name used in messages
  const char* const* names;     // nparams entries
  int nparams;
  int npos;                     // leading parameters that may be positional
  int nreq;                     // required parameters (nreq <= npos)
  bool ignore_unknown;          // keywords naming no parameter are ignored
  PyObject* interned[MAX_PARAMS];  // filled by params_init
};

// A ParamList counted from its names array, whose slot array must be as long:
//   const char* const names[] = {"obj", "default"};
//   Params params("pack", names, 1, 1);
//   PyObject* slots[2];  // any other length does not compile
//   parse_args(params, args, nargs, kwnames, slots);
template <size_t N>
struct Params : ParamList {
  static_assert(N <= MAX_PARAMS, "MAX_PARAMS is too small");
  constexpr Params(const char* fname, const char* const (&names)[N], int npos, int nreq,
                   bool ignore_unknown = false)
      : ParamList{fname, names, static_cast<int>(N), npos, nreq, ignore_unknown, {}} {}
};

// A callable that takes no arguments.
template <>
struct Params<0> : ParamList {
  constexpr explicit Params(const char* fname) : ParamList{fname, nullptr, 0, 0, 0, false, {}} {}
};

template <size_t N>
Params(const char*, const char* const (&)[N], int, int, bool = false) -> Params<N>;
Params(const char*) -> Params<0>;

int params_init(ParamList* pl);

// Fills slots[0..nparams) with borrowed values, or null for unfilled ones.
// kwvalues follow the positional arguments in `args`, as in vectorcall.
int parse_args(const ParamList* pl, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** slots);

template <size_t N>
inline int parse_args(const Params<N>& pl, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject* (&slots)[N]) {
  return parse_args(&pl, args, nargs, kwnames, slots);
}

inline int parse_args(const Params<0>& pl, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return parse_args(&pl, args, nargs, kwnames, nullptr);
}

// The generic type call hands over a tuple and a dict; this flattens them
// into the vectorcall layout and keeps the values alive while parsing.
struct FlatArgs {
  Ref storage;   // tuple of positional then keyword values
  Ref kwnames;   // tuple of keyword names, or null
  Py_ssize_t nargs = 0;
  PyObject* const* array() const {
    return storage ? &PyTuple_GET_ITEM(storage.get(), 0) : nullptr;
  }
};
int flatten_args(PyObject* args, PyObject* kwargs, FlatArgs* out);

int parse_tuple_dict(const ParamList* pl, PyObject* args, PyObject* kwargs,
                     FlatArgs* keep, PyObject** slots);

// 0, or -1 with RecursionError when little of this thread's C stack is left.
// Hooks that decode or pack again recurse through the interpreter, which on
// 3.13 does not watch the C stack; every entry point checks through parse_args.
extern thread_local uintptr_t stack_floor [[gnu::tls_model("initial-exec")]];
int check_stack_room_slow();
[[gnu::always_inline]] inline int check_stack_room() {
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here > stack_floor ? 0 : check_stack_room_slow();
}

// Converters: each returns 0, or -1 with an exception set.
int convert_bool(PyObject* obj, bool* out);
int convert_int(PyObject* obj, int* out);
int convert_char(PyObject* obj, int8_t* out);
int convert_long(PyObject* obj, long long* out);
int convert_unsigned(PyObject* obj, const char* ctype, unsigned long long* out);
int convert_ssize(PyObject* obj, Py_ssize_t* out);
int convert_byte_string(PyObject* obj, const char** data, Py_ssize_t* len);
// A byte string taken as text for the rest of a call or an object's life:
// `*text` stays valid while `*owner` lives, whatever happens to `obj`.
int convert_text_option(PyObject* obj, Ref* owner, const char** text);

// Calls a type the general way (tp_new then tp_init) from vectorcall arguments.
PyObject* call_type_generic(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// The body of both classes' __reduce__ and __setstate__: check the arguments,
// then refuse with the class's message.
PyObject* refuse_pickling(const ParamList* pl, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, const char* message);
