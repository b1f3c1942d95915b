// The decoder's cache of short map keys.
#include "decoder/key_cache.h"

#include "_cquoril/ft.h"
#include "_cquoril/module.h"
#include "decoder/values.h"

#include <cstring>

namespace {

// The smallest cache, and the input that pays for each further slot.
constexpr uint32_t KEY_CACHE_MIN_SLOTS = 8;
constexpr Py_ssize_t INPUT_BYTES_PER_KEY_SLOT = 16;

bool same_bytes(const void* a, const char* b, Py_ssize_t n) {
  auto* x = static_cast<const unsigned char*>(a);
  auto* y = reinterpret_cast<const unsigned char*>(b);
  if (n < 4) return std::memcmp(x, y, n) == 0;
  return each_word(x, n, [&](uint64_t w, Py_ssize_t at) {
    uint64_t v = n >= 8 ? load64(y + at) : load32(y) | (load32(y + n - 4) << 32);
    return w == v;
  });
}

uint32_t key_hash(const unsigned char* p, Py_ssize_t n, bool* ascii) {
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ static_cast<uint64_t>(n);
  uint64_t high = 0;
  each_word(p, n, [&](uint64_t w, Py_ssize_t) {
    high |= w;
    h = (h ^ w) * 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
    return true;
  });
  *ascii = (high & HIGH_BITS) == 0;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace

// Short ASCII keys go through a direct-mapped cache, so that the keys of a
// document (or of a stream) are one object each and dict lookups hit on
// identity; on the default build the cached keys are interned as well.
PyObject* make_key_str(decoder_ctx* ctx, const char* p, Py_ssize_t n) {
  bool ascii;
  uint32_t h = key_hash(reinterpret_cast<const unsigned char*>(p), n, &ascii);
  if (!ascii) return PyUnicode_DecodeUTF8(p, n, ctx->unicode_errors);
  PyObject** slot = &ctx->keys[h & ctx->key_cache_mask];
  PyObject* cached = *slot;
  if (cached && PyUnicode_GET_LENGTH(cached) == n && same_bytes(PyUnicode_DATA(cached), p, n))
    return Py_NewRef(cached);
  PyObject* key = PyUnicode_New(n, ASCII_MAX);
  if (!key) return nullptr;
  std::memcpy(PyUnicode_DATA(key), p, n);
  intern_fresh_key(&key);
  replace_field(slot, Py_NewRef(key));
  return key;
}

void key_cache_init(decoder_ctx* ctx, Py_ssize_t expected_bytes) {
  ctx->keys = ctx->key_cache;
  uint32_t slots = KEY_CACHE_MIN_SLOTS;
  while (slots < KEY_CACHE_SLOTS &&
         static_cast<Py_ssize_t>(slots) * INPUT_BYTES_PER_KEY_SLOT < expected_bytes)
    slots *= 2;
  ctx->key_cache_mask = slots - 1;
  std::memset(ctx->key_cache, 0, slots * sizeof(PyObject*));
}

void key_cache_release(decoder_ctx* ctx) {
  if (ctx->keys != ctx->key_cache) return;  // the thread's cache outlives the call
  for (uint32_t i = 0; i <= ctx->key_cache_mask; i++) Py_CLEAR(ctx->key_cache[i]);
}

namespace {

// Unnamed, so that fetching the pointer costs no string comparison.
constexpr const char* THREAD_CACHE_NAME = nullptr;

void free_thread_cache(PyObject* capsule) {
  auto** slots = static_cast<PyObject**>(PyCapsule_GetPointer(capsule, THREAD_CACHE_NAME));
  for (int i = 0; i < KEY_CACHE_SLOTS; i++) Py_CLEAR(slots[i]);
  PyMem_Free(slots);
}

PyObject** thread_cache() {
  PyObject* state = PyThreadState_GetDict();
  if (!state) return nullptr;
  PyObject* capsule = PyDict_GetItemWithError(state, g.thread_cache_key);
  if (capsule) return static_cast<PyObject**>(PyCapsule_GetPointer(capsule, THREAD_CACHE_NAME));
  if (PyErr_Occurred()) return nullptr;
  auto** slots = static_cast<PyObject**>(PyMem_Calloc(KEY_CACHE_SLOTS, sizeof(PyObject*)));
  if (!slots) return nullptr;
  Ref made(PyCapsule_New(slots, THREAD_CACHE_NAME, free_thread_cache));
  if (!made) {
    PyMem_Free(slots);
    return nullptr;
  }
  if (PyDict_SetItem(state, g.thread_cache_key, made.get()) < 0) return nullptr;
  return slots;
}

}  // namespace

void key_cache_for_call(decoder_ctx* ctx, Py_ssize_t expected_bytes) {
  PyObject** shared = thread_cache();
  if (!shared) {
    PyErr_Clear();  // a cache is an optimisation; decode without it
    key_cache_init(ctx, expected_bytes);
    return;
  }
  ctx->keys = shared;
  ctx->key_cache_mask = KEY_CACHE_SLOTS - 1;
}
