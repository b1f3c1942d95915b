// One-shot decoding: unpackb and default_read_extended_type.
#include "_cquoril/args.h"
#include "_cquoril/module.h"
#include "_unpacker/input.h"
#include "decoder/ctx.h"

#include <algorithm>

int get_data_from_buffer(PyObject* obj, Py_buffer* view, const char** buf, Py_ssize_t* buf_len) {
  if (PyBytes_CheckExact(obj)) {
    // Immutable and kept alive by the caller: no export is needed to read it.
    view->obj = nullptr;
    view->buf = PyBytes_AS_STRING(obj);
    view->len = PyBytes_GET_SIZE(obj);
    *buf = PyBytes_AS_STRING(obj);
    *buf_len = PyBytes_GET_SIZE(obj);
    return 1;
  }
  if (PyObject_GetBuffer(obj, view, PyBUF_FULL_RO) < 0) return 0;
  if (view->itemsize != 1) {
    PyBuffer_Release(view);
    PyErr_SetString(PyExc_BufferError, "cannot unpack from multi-byte object");
    return 0;
  }
  if (!PyBuffer_IsContiguous(view, 'A')) {
    PyBuffer_Release(view);
    Ref copy(PyMemoryView_GetContiguous(obj, PyBUF_READ, 'C'));
    if (!copy || PyObject_GetBuffer(copy.get(), view, PyBUF_SIMPLE) < 0) return 0;
  }
  *buf = static_cast<const char*>(view->buf);
  *buf_len = view->len;
  return 1;
}

void raise_for_result(int code) {
  if (code == DECODE_MALFORMED)
    raise_by_name("FormatError", nullptr);
  else if (code == DECODE_TOO_DEEP)
    raise_by_name("StackError", nullptr);
  else
    PyErr_Format(PyExc_ValueError, "Unpack failed: error = %d", code);
}

namespace {

const char* const unpackb_names[] = {
    "packed",         "object_hook", "list_hook",         "use_list",    "raw",
    "timestamp",      "strict_map_key", "unicode_errors", "object_pairs_hook", "ext_hook",
    "max_str_len",    "max_bin_len", "max_array_len",     "max_map_len", "max_ext_len"};
ParamList unpackb_params = {"unpackb", unpackb_names, 15, 1, 1, false, {}};

const char* const ext_names[] = {"typecode", "data"};
ParamList read_ext_params = {"default_read_extended_type", ext_names, 2, 2, 2, false, {}};

enum {
  A_PACKED, A_OBJECT_HOOK, A_LIST_HOOK, A_USE_LIST, A_RAW, A_TIMESTAMP, A_STRICT_MAP_KEY,
  A_UNICODE_ERRORS, A_PAIRS_HOOK, A_EXT_HOOK, A_MAX_STR, A_MAX_BIN, A_MAX_ARRAY, A_MAX_MAP,
  A_MAX_EXT,
};
static_assert(A_MAX_EXT - A_MAX_STR + 1 == LIMIT_KINDS, "a limit option per kind, in order");

PyObject* or_none(PyObject* v) { return v ? v : Py_None; }

constexpr uint32_t ONE_SHOT_STACK_DEPTH = 32;

// Releases the context and the view on every path out of unpackb.
struct DecodeScope {
  decoder_ctx* ctx;
  Py_buffer* view;
  bool done = false;
  void release() {
    if (done) return;
    done = true;
    reset_ctx(ctx);
    release_stack(ctx);
    key_cache_release(ctx);
    PyBuffer_Release(view);
  }
  ~DecodeScope() { release(); }
};

PyObject* extra_data(PyObject* obj, const char* rest, Py_ssize_t n) {
  Ref owned(obj);
  Ref extra(PyBytes_FromStringAndSize(rest, n));
  if (!extra) return nullptr;
  Ref args(PyTuple_Pack(2, obj, extra.get()));
  if (args) raise_by_name("ExtraData", args.get());
  return nullptr;
}

PyObject* unpackb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[15];
  // A bare call, the common one, needs no parse: every option is its default.
  if (nargs == 1 && (!kwnames || !PyTuple_GET_SIZE(kwnames))) {
    if (check_stack_room() < 0) return nullptr;  // what parsing would have checked
    a[A_PACKED] = args[0];
    std::fill(a + 1, a + 15, nullptr);
  } else if (parse_args(&unpackb_params, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  bool use_list = true, raw = false, strict_map_key = true;
  int timestamp = 0;
  ItemLimits limits = {LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED};
  if ((a[A_USE_LIST] && convert_bool(a[A_USE_LIST], &use_list) < 0) ||
      (a[A_RAW] && convert_bool(a[A_RAW], &raw) < 0) ||
      (a[A_TIMESTAMP] && convert_int(a[A_TIMESTAMP], &timestamp) < 0) ||
      (a[A_STRICT_MAP_KEY] && convert_bool(a[A_STRICT_MAP_KEY], &strict_map_key) < 0))
    return nullptr;
  for (int i = 0; i < LIMIT_KINDS; i++)
    if (a[A_MAX_STR + i] && convert_ssize(a[A_MAX_STR + i], &limits[i]) < 0) return nullptr;
  const char* cerr = nullptr;
  Ref errors_text;
  if (a[A_UNICODE_ERRORS] && a[A_UNICODE_ERRORS] != Py_None &&
      convert_text_option(a[A_UNICODE_ERRORS], &errors_text, &cerr) < 0)
    return nullptr;
  Py_buffer view;
  const char* buf;
  Py_ssize_t buf_len;
  if (!get_data_from_buffer(a[A_PACKED], &view, &buf, &buf_len)) return nullptr;
  decoder_ctx ctx;
  ctx.depth = 0;
  ctx.result = nullptr;
  // Most documents nest only a few levels; deeper ones move the stack to the heap.
  stack_entry shallow_stack[ONE_SHOT_STACK_DEPTH];
  attach_stack(&ctx, shallow_stack, ONE_SHOT_STACK_DEPTH);
  key_cache_for_call(&ctx, buf_len);
  DecodeScope scope{&ctx, &view};
  derive_limits(limits, buf_len);
  Ref ok(init_ctx(&ctx, or_none(a[A_OBJECT_HOOK]), or_none(a[A_PAIRS_HOOK]),
                  or_none(a[A_LIST_HOOK]), a[A_EXT_HOOK] ? a[A_EXT_HOOK] : g.ext_type, use_list,
                  raw, timestamp, strict_map_key, cerr, limits));
  if (!ok) return nullptr;
  Py_ssize_t off = 0;
  int ret = run_decoder(true, &ctx, buf, buf_len, &off);
  if (ret == DECODE_COMPLETE) {
    PyObject* obj = ctx.result;
    ctx.result = nullptr;
    if (off == buf_len) return obj;
    return extra_data(obj, buf + off, buf_len - off);
  }
  if (ret == DECODE_ERROR) return nullptr;
  scope.release();
  if (ret == DECODE_NEED_MORE)
    PyErr_SetString(PyExc_ValueError, "Unpack failed: incomplete input");
  else
    raise_for_result(ret);
  return nullptr;
}

PyObject* default_read_extended_type(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* a[2];
  if (parse_args(&read_ext_params, args, nargs, kwnames, a) < 0) return nullptr;
  Ref format(PyUnicode_FromString("Cannot decode extended type with typecode=%d"));
  if (!format) return nullptr;
  Ref message(PyUnicode_Format(format.get(), a[0]));
  if (!message) return nullptr;
  PyErr_SetObject(PyExc_NotImplementedError, message.get());
  return nullptr;
}


}  // namespace

int unpackb_params_init() {
  if (params_init(&unpackb_params) < 0) return -1;
  return params_init(&read_ext_params);
}

PyMethodDef unpackb_def = {
    "unpackb", FASTCALL(unpackb), METH_FASTCALL | METH_KEYWORDS,
    "unpackb(packed, *, object_hook=None, list_hook=None, bool use_list=True, bool raw=False, "
    "int timestamp=0, bool strict_map_key=True, unicode_errors=None, object_pairs_hook=None, "
    "ext_hook=ExtType, Py_ssize_t max_str_len=-1, Py_ssize_t max_bin_len=-1, "
    "Py_ssize_t max_array_len=-1, Py_ssize_t max_map_len=-1, Py_ssize_t max_ext_len=-1)\n"
    "\n"
    "Unpack packed_bytes to object. Returns an unpacked object.\n"
    "\n"
    "Raises ``ExtraData`` when *packed* contains extra bytes.\n"
    "Raises ``ValueError`` when *packed* is incomplete.\n"
    "Raises ``FormatError`` when *packed* is not valid quoril.\n"
    "Raises ``StackError`` when *packed* contains too nested.\n"
    "Other exceptions can be raised during unpacking.\n"
    "\n"
    "See :class:`Unpacker` for options.\n"
    "\n"
    "*max_xxx_len* options are configured automatically from ``len(packed)``."};

PyMethodDef default_read_extended_type_def = {
    "default_read_extended_type", FASTCALL(default_read_extended_type),
    METH_FASTCALL | METH_KEYWORDS, "default_read_extended_type(typecode, data)"};
