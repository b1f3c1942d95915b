// The decoder context: options, the state put at rest, the container stack.
#include "decoder/ctx.h"

#include "_cquoril/module.h"

#include <cstring>

namespace {

int require_callable(PyObject* hook, const char* message) {
  if (PyCallable_Check(hook)) return 0;
  PyErr_SetString(PyExc_TypeError, message);
  return -1;
}

}  // namespace

void derive_limits(ItemLimits& limits, Py_ssize_t bound) {
  for (int kind = 0; kind < LIMIT_KINDS; kind++)
    if (limits[kind] == LIMIT_DERIVED) limits[kind] = kind == LIMIT_MAP ? bound / 2 : bound;
}

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
                   const ItemLimits& limits) {
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
  ctx->max_str_len = limits[LIMIT_STR];
  ctx->max_bin_len = limits[LIMIT_BIN];
  ctx->max_array_len = limits[LIMIT_ARRAY];
  ctx->max_map_len = limits[LIMIT_MAP];
  ctx->max_ext_len = limits[LIMIT_EXT];
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
  if (timestamp < TIMESTAMP_AS_OBJECT || timestamp > TIMESTAMP_AS_DATETIME) {
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
