// The decoder context: options, resumable state and the container stack.
#pragma once
#include "_cquoril/ref.h"
#include "decoder/key_cache.h"

#include <cstdint>

enum : int {
  DECODE_COMPLETE = 1,
  DECODE_NEED_MORE = 0,
  DECODE_ERROR = -1,
  DECODE_MALFORMED = -2,
  DECODE_TOO_DEEP = -3,
};

// What a timestamp extension decodes to (the `timestamp` option).
enum : int {
  TIMESTAMP_AS_OBJECT = 0,
  TIMESTAMP_AS_FLOAT = 1,
  TIMESTAMP_AS_NANOSECONDS = 2,
  TIMESTAMP_AS_DATETIME = 3,
};

enum : uint32_t { EXPECT_ITEM = 0, EXPECT_KEY = 1, EXPECT_VALUE = 2 };

// A resume state past every segment state: the item that ended at the read
// position failed to build and is to be delivered as nothing (skip mode only).
constexpr uint32_t STATE_DELIVER_NOTHING = 64;

// The resume state inside a bin's payload.
constexpr uint32_t STATE_BIN_PAYLOAD = 33;

constexpr uint32_t STACK_DEPTH = 1024;

struct decoder_ctx;
using decode_entry = int (*)(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off);

struct stack_entry {
  PyObject* container;
  uint64_t size;
  uint64_t count;
  uint32_t container_type;
  PyObject* pending_key;
  uint64_t presized;  // slots made ahead for the items, counted in presized_open
};

struct decoder_ctx {
  bool use_list;
  bool raw;
  bool map_as_pairs;
  bool strict_map_key;
  int timestamp;
  PyObject* map_hook;
  PyObject* list_hook;
  PyObject* ext_hook;
  PyObject* timestamp_type;
  PyObject* billion;
  PyObject* utc;
  const char* unicode_errors;
  Py_ssize_t max_str_len;
  Py_ssize_t max_bin_len;
  Py_ssize_t max_array_len;
  Py_ssize_t max_map_len;
  Py_ssize_t max_ext_len;

  uint32_t state;
  // Wider than a 32-bit length: an ext 32 body is up to 2**32 bytes.
  uint64_t segment_len;
  uint32_t depth;
  PyObject* result;
  decode_entry active_entry;
  // Set after a construct-mode failure: the rest of the failed item is still
  // to be skipped before the next item is read.
  bool discarding;
  // A large bin's payload that the Unpacker fills straight from its input,
  // all but its last byte, which comes through the buffer and completes it
  // (state STATE_BIN_PAYLOAD, segment_len 1). Owned.
  PyObject* payload;
  // Slots made ahead by the open containers together: the bytes in hand pay
  // for them once, not once per nesting level.
  uint64_t presized_open;
  PyObject** keys;                       // key_cache, or the calling thread's cache
  uint32_t key_cache_mask;               // slots in use - 1, a power of two - 1
  PyObject* key_cache[KEY_CACHE_SLOTS];  // owned; lives as long as the context
  // Not inside the context, so that a one-shot call keeps a small frame on
  // the C stack (hooks may decode again, many levels deep): the owner's
  // storage, or a heap block of STACK_DEPTH entries once the owner's is full.
  stack_entry* stack;
  uint32_t stack_capacity;
  bool stack_on_heap;
};

inline void attach_stack(decoder_ctx* ctx, stack_entry* storage, uint32_t capacity) {
  ctx->stack = storage;
  ctx->stack_capacity = capacity;
  ctx->stack_on_heap = false;
}
// Moves the stack to the heap at its full depth; -1 with MemoryError set.
int grow_stack(decoder_ctx* ctx);
// Frees a heap stack; call once the context is at rest.
void release_stack(decoder_ctx* ctx);

int decode_construct(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off);
int decode_skip(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off);
int decode_array_header(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off);
int decode_map_header(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off);
int run_decoder(bool construct, decoder_ctx* ctx, const char* data, Py_ssize_t len,
                Py_ssize_t* off);

// The limits on single items, in the order of their keyword options
// (max_str_len .. max_ext_len).
enum LimitKind : int { LIMIT_STR, LIMIT_BIN, LIMIT_ARRAY, LIMIT_MAP, LIMIT_EXT, LIMIT_KINDS };
using ItemLimits = Py_ssize_t[LIMIT_KINDS];

// The value of a limit option left to be derived.
constexpr Py_ssize_t LIMIT_DERIVED = -1;

// Gives each limit still LIMIT_DERIVED its value from `bound`, the most bytes
// of input there can be: half of it for a map, whose every entry takes two
// bytes at least, all of it for the rest.
void derive_limits(ItemLimits& limits, Py_ssize_t bound);

void reset_ctx(decoder_ctx* ctx);
PyObject* init_ctx(decoder_ctx* ctx, PyObject* object_hook, PyObject* object_pairs_hook,
                   PyObject* list_hook, PyObject* ext_hook, int use_list, int raw,
                   int timestamp, int strict_map_key, const char* unicode_errors,
                   const ItemLimits& limits);
