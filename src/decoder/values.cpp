// Decoder options and the out-of-line parts of value construction.
#include "decoder/values.h"

#include "_cquoril/dt.h"
#include "_cquoril/module.h"

#include <cstring>

namespace {

int require_callable(PyObject* hook, const char* message) {
  if (PyCallable_Check(hook)) return 0;
  PyErr_SetString(PyExc_TypeError, message);
  return -1;
}

uint32_t load_be32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

uint64_t load_be64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

PyObject* timestamp_as_datetime(int64_t seconds, uint32_t nanoseconds) {
  long long days = seconds / 86400;
  if (days > INT32_MAX || days < INT32_MIN) {
    PyErr_Format(PyExc_OverflowError, "days=%lld; too large to convert to C int", days);
    return nullptr;
  }
  PyDateTime_CAPI* api = dt_api();
  Ref epoch(api->DateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0, g.utc, api->DateTimeType));
  if (!epoch) return nullptr;
  Ref offset(api->Delta_FromDelta(static_cast<int>(days), static_cast<int>(seconds - days * 86400),
                                  static_cast<int>(nanoseconds / 1000), 1, api->DeltaType));
  if (!offset) return nullptr;
  return PyNumber_Add(epoch.get(), offset.get());
}

PyObject* make_timestamp(decoder_ctx* ctx, const char* data, uint64_t len) {
  int64_t seconds;
  uint32_t nanoseconds = 0;
  if (len == 4) {
    seconds = load_be32(data);
  } else if (len == 8) {
    uint64_t word = load_be64(data);
    nanoseconds = static_cast<uint32_t>(word >> 34);
    seconds = static_cast<int64_t>(word & ((1ULL << 34) - 1));
  } else if (len == 12) {
    nanoseconds = load_be32(data);
    seconds = static_cast<int64_t>(load_be64(data + 4));
  } else {
    PyErr_Format(PyExc_ValueError, "invalid timestamp data (length %u)", static_cast<unsigned>(len));
    return nullptr;
  }
  if (nanoseconds >= 1000000000u) {
    PyErr_SetString(PyExc_ValueError,
                    "nanoseconds must be a non-negative integer not greater than 999999999.");
    return nullptr;
  }
  switch (ctx->timestamp) {
    case 0:
      return PyObject_CallFunction(ctx->timestamp_type, "(Lk)", static_cast<long long>(seconds),
                                   static_cast<unsigned long>(nanoseconds));
    case 1: {
      Ref nanos(PyFloat_FromDouble(nanoseconds));
      if (!nanos) return nullptr;
      Ref fraction(PyNumber_TrueDivide(nanos.get(), ctx->billion));
      if (!fraction) return nullptr;
      Ref secs(PyLong_FromLongLong(seconds));
      if (!secs) return nullptr;
      return PyNumber_Add(fraction.get(), secs.get());
    }
    case 2: {
      Ref secs(PyLong_FromLongLong(seconds));
      if (!secs) return nullptr;
      Ref scaled(PyNumber_Multiply(secs.get(), ctx->billion));
      if (!scaled) return nullptr;
      Ref nanos(PyLong_FromUnsignedLong(nanoseconds));
      if (!nanos) return nullptr;
      return PyNumber_Add(scaled.get(), nanos.get());
    }
    default:
      return timestamp_as_datetime(seconds, nanoseconds);
  }
}

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

PyObject* make_ext(decoder_ctx* ctx, const char* body, uint64_t body_len) {
  if (!ctx->ext_hook) {
    PyErr_SetString(PyExc_AssertionError, "u->ext_hook cannot be NULL");
    return nullptr;
  }
  uint64_t len = body_len - 1;
  if (ctx->max_ext_len < 0 || len > static_cast<uint64_t>(ctx->max_ext_len)) {
    PyErr_Format(PyExc_ValueError, "%u exceeds max_ext_len(%zd)", static_cast<unsigned>(body_len),
                 ctx->max_ext_len);
    return nullptr;
  }
  int type = static_cast<int8_t>(body[0]);
  if (type != -1)
    return PyObject_CallFunction(ctx->ext_hook, "(iy#)", type, body + 1,
                                 static_cast<Py_ssize_t>(len));
  return make_timestamp(ctx, body + 1, len);
}

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
  PyObject* key = PyUnicode_New(n, 127);
  if (!key) return nullptr;
  std::memcpy(PyUnicode_DATA(key), p, n);
#ifndef Py_GIL_DISABLED
  PyUnicode_InternInPlace(&key);
#endif
  replace_field(slot, Py_NewRef(key));
  return key;
}

int refuse_map_key(PyObject* key) {
  PyErr_Format(PyExc_ValueError, "%.100s is not allowed for map key when strict_map_key=True",
               Py_TYPE(key)->tp_name);
  return -1;
}

void key_cache_init(decoder_ctx* ctx, Py_ssize_t expected_bytes) {
  ctx->keys = ctx->key_cache;
  uint32_t slots = 8;
  while (slots < KEY_CACHE_SLOTS && static_cast<Py_ssize_t>(slots) * 16 < expected_bytes)
    slots *= 2;
  ctx->key_cache_mask = slots - 1;
  std::memset(ctx->key_cache, 0, slots * sizeof(PyObject*));
}

void key_cache_release(decoder_ctx* ctx) {
  if (ctx->keys != ctx->key_cache) return;  // the thread's cache outlives the call
  for (uint32_t i = 0; i <= ctx->key_cache_mask; i++) Py_CLEAR(ctx->key_cache[i]);
}

#ifdef Py_GIL_DISABLED
void key_cache_for_call(decoder_ctx* ctx, Py_ssize_t expected_bytes) {
  key_cache_init(ctx, expected_bytes);
}
#else
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
#endif

void reset_ctx(decoder_ctx* ctx) {
  for (uint32_t i = 0; i < ctx->depth; i++) {
    Py_CLEAR(ctx->stack[i].pending_key);
    Py_CLEAR(ctx->stack[i].container);
  }
  Py_CLEAR(ctx->result);
  Py_CLEAR(ctx->payload);
  ctx->state = 0;
  ctx->segment_len = 0;
  ctx->depth = 0;
  ctx->active_entry = nullptr;
  ctx->discarding = false;
  ctx->presized_open = 0;
}

int grow_stack(decoder_ctx* ctx) {
  auto* grown = static_cast<stack_entry*>(PyMem_Malloc(STACK_DEPTH * sizeof(stack_entry)));
  if (!grown) {
    PyErr_NoMemory();
    return -1;
  }
  std::memcpy(grown, ctx->stack, ctx->stack_capacity * sizeof(stack_entry));
  release_stack(ctx);
  ctx->stack = grown;
  ctx->stack_capacity = STACK_DEPTH;
  ctx->stack_on_heap = true;
  return 0;
}

void release_stack(decoder_ctx* ctx) {
  if (ctx->stack_on_heap) PyMem_Free(ctx->stack);
  ctx->stack_on_heap = false;
}

PyObject* init_ctx(decoder_ctx* ctx, PyObject* object_hook, PyObject* object_pairs_hook,
                   PyObject* list_hook, PyObject* ext_hook, int use_list, int raw,
                   int timestamp, int strict_map_key, const char* unicode_errors,
                   Py_ssize_t max_str_len, Py_ssize_t max_bin_len, Py_ssize_t max_array_len,
                   Py_ssize_t max_map_len, Py_ssize_t max_ext_len) {
  ctx->state = 0;
  ctx->segment_len = 0;
  ctx->depth = 0;
  ctx->result = nullptr;
  ctx->payload = nullptr;
  ctx->active_entry = nullptr;
  ctx->discarding = false;
  ctx->presized_open = 0;
  ctx->use_list = use_list != 0;
  ctx->raw = raw != 0;
  ctx->strict_map_key = strict_map_key != 0;
  ctx->map_hook = ctx->list_hook = ctx->ext_hook = nullptr;
  ctx->max_str_len = max_str_len;
  ctx->max_bin_len = max_bin_len;
  ctx->max_array_len = max_array_len;
  ctx->max_map_len = max_map_len;
  ctx->max_ext_len = max_ext_len;
  if (object_hook != Py_None && object_pairs_hook != Py_None) {
    PyErr_SetString(PyExc_TypeError, "object_pairs_hook and object_hook are mutually exclusive.");
    return nullptr;
  }
  if (object_hook != Py_None) {
    if (require_callable(object_hook, "object_hook must be a callable.") < 0) return nullptr;
    ctx->map_hook = object_hook;
  }
  ctx->map_as_pairs = false;
  if (object_pairs_hook != Py_None) {
    if (require_callable(object_pairs_hook, "object_pairs_hook must be a callable.") < 0)
      return nullptr;
    ctx->map_hook = object_pairs_hook;
    ctx->map_as_pairs = true;
  }
  if (list_hook != Py_None) {
    if (require_callable(list_hook, "list_hook must be a callable.") < 0) return nullptr;
    ctx->list_hook = list_hook;
  }
  if (ext_hook != Py_None) {
    if (require_callable(ext_hook, "ext_hook must be a callable.") < 0) return nullptr;
    ctx->ext_hook = ext_hook;
  }
  if (timestamp < 0 || timestamp > 3) {
    PyErr_SetString(PyExc_ValueError, "timestamp must be 0..3");
    return nullptr;
  }
  ctx->timestamp = timestamp;
  ctx->timestamp_type = g.timestamp_type;
  ctx->billion = g.billion;
  ctx->utc = g.utc;
  ctx->unicode_errors = unicode_errors;
  Py_RETURN_NONE;
}
