// Repeated short map keys share one str through this cache (see make_str).
#pragma once
#include "_cquoril/ref.h"

#include <cstdint>

constexpr int KEY_CACHE_SLOTS = 512;
constexpr Py_ssize_t KEY_CACHE_MAX_LEN = 32;

struct decoder_ctx;

// The key cache is not part of the state that reset_ctx puts at rest: it
// outlives single items so that a stream's keys stay shared.
// `expected_bytes` sizes the cache to the input, so that a small message does
// not pay for clearing slots it could never fill.
void key_cache_init(decoder_ctx* ctx, Py_ssize_t expected_bytes);
void key_cache_release(decoder_ctx* ctx);
// For one-shot decoding: the keys of every call on a thread share one cache
// kept in that thread's state, so that a stream of small messages does not
// re-create (and, on the default build, re-intern) its keys, nor hash them
// again for every dict. The free-threaded build does not intern them: there
// interned strings are immortal, and a stream of distinct keys would pile up.
void key_cache_for_call(decoder_ctx* ctx, Py_ssize_t expected_bytes);

// The str for a key of n bytes at p, from the cache when it holds it.
PyObject* make_key_str(decoder_ctx* ctx, const char* p, Py_ssize_t n);
