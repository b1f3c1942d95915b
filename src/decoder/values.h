// Building Python values from decoded items (construct mode only).
#pragma once
#include "_cquoril/compat.h"
#include "_cquoril/ft.h"
#include "decoder/ctx.h"

#include <cstring>

inline PyObject* make_float(double x) { return PyFloat_FromDouble(x); }

inline int check_len(uint64_t n, Py_ssize_t limit, const char* fmt) {
  if (limit < 0 || n > static_cast<uint64_t>(limit)) {
    PyErr_Format(PyExc_ValueError, fmt, static_cast<unsigned>(n), limit);
    return -1;
  }
  return 0;
}

// Text is read a word at a time, the last word overlapping the one before it,
// so that no byte outside it is touched.
inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Calls `word` on words that together cover the n bytes at p; stops at the
// first that returns false.
template <class Word>
inline bool each_word(const unsigned char* p, Py_ssize_t n, Word word) {
  if (n >= 8) {
    for (Py_ssize_t i = 0; i + 8 < n; i += 8)
      if (!word(load64(p + i), i)) return false;
    return word(load64(p + n - 8), n - 8);
  }
  if (n >= 4) return word(load32(p) | (load32(p + n - 4) << 32), 0);
  if (n > 0) return word(p[0] | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16), 0);
  return true;
}

constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

inline bool is_ascii(const char* p, Py_ssize_t n) {
  return each_word(reinterpret_cast<const unsigned char*>(p), n,
                   [](uint64_t w, Py_ssize_t) { return (w & HIGH_BITS) == 0; });
}

constexpr Py_UCS4 ASCII_MAX = 127;
// Text up to this long is checked for ASCII first; longer text goes straight to the codec.
constexpr Py_ssize_t SHORT_STR_MAX_LEN = 64;

// Short ASCII text is copied straight into a new str, skipping the codec.
inline PyObject* make_short_str(decoder_ctx* ctx, const char* p, Py_ssize_t n) {
  if (!is_ascii(p, n)) return PyUnicode_DecodeUTF8(p, n, ctx->unicode_errors);
  PyObject* s = PyUnicode_New(n, ASCII_MAX);
  if (s) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

inline PyObject* make_str(decoder_ctx* ctx, const char* p, uint64_t n, bool is_key) {
  if (check_len(n, ctx->max_str_len, "%u exceeds max_str_len(%zd)") < 0) return nullptr;
  Py_ssize_t len = static_cast<Py_ssize_t>(n);
  if (ctx->raw) return PyBytes_FromStringAndSize(p, len);
  if (is_key && len <= KEY_CACHE_MAX_LEN) return make_key_str(ctx, p, len);
  if (len <= SHORT_STR_MAX_LEN) return make_short_str(ctx, p, len);
  return PyUnicode_DecodeUTF8(p, len, ctx->unicode_errors);
}

inline PyObject* make_bin(decoder_ctx* ctx, const char* p, uint64_t n) {
  if (check_len(n, ctx->max_bin_len, "%u exceeds max_bin_len(%zd)") < 0) return nullptr;
  return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
}

PyObject* make_ext(decoder_ctx* ctx, const char* body, uint64_t body_len);

// A container is made no larger than the bytes in hand could fill (every item
// takes at least one), so that a header cannot reserve memory the input never
// pays for; it grows as items arrive. Python code (a hook, a finaliser run by
// the garbage collector) may reach a container still being built, so it never
// shows an empty slot: a list counts only the items stored, a tuple holds None
// until filled.
inline PyObject* new_filled(bool tuple, uint64_t n) {
  auto len = static_cast<Py_ssize_t>(n);
  if (!tuple) {
    PyObject* list = PyList_New(len);
    if (!list) return nullptr;
    Py_SET_SIZE(list, 0);  // the room stays allocated
    hide_while_built(list);
    return list;
  }
  PyObject* made = PyTuple_New(len);
  if (!made) return nullptr;
  for (Py_ssize_t i = 0; i < len; i++) PyTuple_SET_ITEM(made, i, Py_None);  // immortal
  return made;
}

inline PyObject* begin_array(decoder_ctx* ctx, uint64_t n, uint64_t in_hand) {
  if (check_len(n, ctx->max_array_len, "%u exceeds max_array_len(%zd)") < 0) return nullptr;
  // A tuple cannot grow, so one announced beyond the input is built as a list.
  bool tuple = !ctx->use_list && n <= in_hand;
  return new_filled(tuple, n < in_hand ? n : in_hand);
}

inline PyObject* begin_map(decoder_ctx* ctx, uint64_t n, uint64_t in_hand) {
  if (check_len(n, ctx->max_map_len, "%u exceeds max_map_len(%zd)") < 0) return nullptr;
  uint64_t pairs_in_hand = in_hand / 2;
  if (ctx->map_as_pairs) return new_filled(false, n < pairs_in_hand ? n : pairs_in_hand);
  // Presizing saves the resizes of a growing dict; the cap keeps a hostile
  // count from reserving a table the input never fills.
  constexpr uint64_t PRESIZE_CAP = 64;
  uint64_t presize = n < PRESIZE_CAP ? n : PRESIZE_CAP;
  return dict_new_presized(static_cast<Py_ssize_t>(presize < pairs_in_hand ? presize : pairs_in_hand));
}

// Stores item i of an array (or pair i of a pairs list), items arriving in
// order; consumes `value`.
inline int set_array_item(PyObject* array, uint64_t i, PyObject* value) {
  if (PyTuple_CheckExact(array)) {
    PyTuple_SET_ITEM(array, static_cast<Py_ssize_t>(i), value);
    return 0;
  }
  auto* list = reinterpret_cast<PyListObject*>(array);
  Py_ssize_t size = Py_SIZE(list);
  if (size < list->allocated) [[likely]] {
    list->ob_item[size] = value;
    Py_SET_SIZE(list, size + 1);
    return 0;
  }
  int rc = PyList_Append(array, value);
  Py_DECREF(value);
  return rc;
}

// Hands the container to the hook, if any; consumes `container`.
inline PyObject* end_container(PyObject* hook, PyObject* container) {
  if (!hook) return container;
  PyObject* result = PyObject_CallOneArg(hook, container);
  Py_DECREF(container);
  return result;
}

inline PyObject* end_array(decoder_ctx* ctx, PyObject* array) {
  if (PyList_CheckExact(array)) {
    if (ctx->use_list) {
      show_when_built(array);
    } else {  // announced beyond the input, so built as a list
      PyObject* tuple = PyList_AsTuple(array);
      Py_DECREF(array);
      if (!tuple) return nullptr;
      array = tuple;
    }
  }
  return end_container(ctx->list_hook, array);
}

inline PyObject* end_map(decoder_ctx* ctx, PyObject* map) {
  if (ctx->map_as_pairs) show_when_built(map);
  return end_container(ctx->map_hook, map);
}

int refuse_map_key(PyObject* key);

// Stores pair i; always consumes key and value.
inline int set_map_item(decoder_ctx* ctx, PyObject* map, uint64_t i, PyObject* key,
                        PyObject* value) {
  if (ctx->strict_map_key && !PyUnicode_CheckExact(key) && !PyBytes_CheckExact(key)) {
    refuse_map_key(key);
    Py_DECREF(key);
    Py_DECREF(value);
    return -1;
  }
  intern_key(&key);
  int rc = 0;
  if (ctx->map_as_pairs) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
      rc = -1;
    } else {
      PyTuple_SET_ITEM(pair, 0, Py_NewRef(key));
      PyTuple_SET_ITEM(pair, 1, Py_NewRef(value));
      rc = set_array_item(map, i, pair);
    }
  } else {
    rc = PyDict_SetItem(map, key, value);
  }
  Py_DECREF(key);
  Py_DECREF(value);
  return rc;
}
