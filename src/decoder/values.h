// Building Python values from decoded items (construct mode only).
#pragma once
#include "_cquoril/compat.h"
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

PyObject* make_key_str(decoder_ctx* ctx, const char* p, Py_ssize_t n);

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

// Short ASCII text is copied straight into a new str, skipping the codec.
inline PyObject* make_short_str(decoder_ctx* ctx, const char* p, Py_ssize_t n) {
  if (!is_ascii(p, n)) return PyUnicode_DecodeUTF8(p, n, ctx->unicode_errors);
  PyObject* s = PyUnicode_New(n, 127);
  if (s) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

inline PyObject* make_str(decoder_ctx* ctx, const char* p, uint64_t n, bool is_key) {
  if (check_len(n, ctx->max_str_len, "%u exceeds max_str_len(%zd)") < 0) return nullptr;
  Py_ssize_t len = static_cast<Py_ssize_t>(n);
  if (ctx->raw) return PyBytes_FromStringAndSize(p, len);
  if (is_key && len <= KEY_CACHE_MAX_LEN) return make_key_str(ctx, p, len);
  if (len <= 64) return make_short_str(ctx, p, len);
  return PyUnicode_DecodeUTF8(p, len, ctx->unicode_errors);
}

inline PyObject* make_bin(decoder_ctx* ctx, const char* p, uint64_t n) {
  if (check_len(n, ctx->max_bin_len, "%u exceeds max_bin_len(%zd)") < 0) return nullptr;
  return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
}

PyObject* make_ext(decoder_ctx* ctx, const char* body, uint64_t body_len);

inline PyObject* begin_array(decoder_ctx* ctx, uint64_t n) {
  if (check_len(n, ctx->max_array_len, "%u exceeds max_array_len(%zd)") < 0) return nullptr;
  Py_ssize_t len = static_cast<Py_ssize_t>(n);
  return ctx->use_list ? PyList_New(len) : PyTuple_New(len);
}

inline PyObject* begin_map(decoder_ctx* ctx, uint64_t n) {
  if (check_len(n, ctx->max_map_len, "%u exceeds max_map_len(%zd)") < 0) return nullptr;
  if (ctx->map_as_pairs) return PyList_New(static_cast<Py_ssize_t>(n));
  // Presizing saves the resizes of a growing dict; the cap keeps a hostile
  // count from reserving a table the input never fills.
  constexpr uint64_t PRESIZE_CAP = 64;
  return dict_new_presized(static_cast<Py_ssize_t>(n < PRESIZE_CAP ? n : PRESIZE_CAP));
}

inline void set_array_item(decoder_ctx* ctx, PyObject* array, uint64_t i, PyObject* value) {
  if (ctx->use_list)
    PyList_SET_ITEM(array, static_cast<Py_ssize_t>(i), value);
  else
    PyTuple_SET_ITEM(array, static_cast<Py_ssize_t>(i), value);
}

// Hands the container to the hook, if any; consumes `container`.
inline PyObject* end_container(PyObject* hook, PyObject* container) {
  if (!hook) return container;
  PyObject* result = PyObject_CallOneArg(hook, container);
  Py_DECREF(container);
  return result;
}

inline PyObject* end_array(decoder_ctx* ctx, PyObject* array) {
  return end_container(ctx->list_hook, array);
}

inline PyObject* end_map(decoder_ctx* ctx, PyObject* map) {
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
#ifndef Py_GIL_DISABLED
  // Interning is free-threading-hostile (immortal, process-wide lock), so the
  // free-threaded build relies on the context's key cache alone.
  if (PyUnicode_CheckExact(key) && !PyUnicode_CHECK_INTERNED(key)) PyUnicode_InternInPlace(&key);
#endif
  int rc = 0;
  if (ctx->map_as_pairs) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
      rc = -1;
    } else {
      PyTuple_SET_ITEM(pair, 0, Py_NewRef(key));
      PyTuple_SET_ITEM(pair, 1, Py_NewRef(value));
      PyList_SET_ITEM(map, static_cast<Py_ssize_t>(i), pair);
    }
  } else {
    rc = PyDict_SetItem(map, key, value);
  }
  Py_DECREF(key);
  Py_DECREF(value);
  return rc;
}
