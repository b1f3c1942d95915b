// The streaming Unpacker: its buffer, its file source and its reading operations.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "_cquoril/args.h"
#include "_cquoril/class_parts.h"
#include "_cquoril/ft.h"
#include "_cquoril/module.h"
#include "_unpacker/input.h"
#include "decoder/ctx.h"

namespace {

struct UnpackerObject;

// The class's internal operations, unseen by Python.
struct UnpackerOps {
  int (*append_buffer)(UnpackerObject*, const char*, Py_ssize_t);
  int (*read_from_file)(UnpackerObject*);
  PyObject* (*unpack)(UnpackerObject*, decode_entry, bool);
};

struct UnpackerObject {
  PyObject_HEAD
  const UnpackerOps* ops;
  decoder_ctx ctx;
  char* buffer;
  Py_ssize_t buffer_size;
  Py_ssize_t head;
  Py_ssize_t tail;
  PyObject* file_like;
  PyObject* read_method;
  Py_ssize_t read_size;
  PyObject* object_hook;
  PyObject* object_pairs_hook;
  PyObject* list_hook;
  PyObject* ext_hook;
  PyObject* unicode_errors;
  Py_ssize_t max_buffer_size;
  uint64_t position;
  // Of a payload filled straight from the input (ctx.payload): the bytes in
  // it so far, which tell() counts once the item is complete.
  Py_ssize_t payload_filled;
  int in_progress;
  stack_entry stack[STACK_DEPTH];  // the context's container stack
};

UnpackerObject* as_unpacker(PyObject* op) { return reinterpret_cast<UnpackerObject*>(op); }

// A bin payload at least this long, and longer than what is buffered of it,
// is filled straight from the input: copied once, and the buffer does not
// grow to hold it.
constexpr uint64_t DIRECT_PAYLOAD_MIN = 16 * 1024;

// Bytes the pending payload still takes before its last one.
Py_ssize_t payload_wanted(UnpackerObject* self) {
  PyObject* payload = self->ctx.payload;
  return payload ? PyBytes_GET_SIZE(payload) - 1 - self->payload_filled : 0;
}

// How much of `length` new bytes the pending payload takes.
Py_ssize_t payload_share(UnpackerObject* self, Py_ssize_t length) {
  return std::max<Py_ssize_t>(0, std::min(length, payload_wanted(self)));
}

// Moves the head of `data` into the pending payload; returns how much it took.
Py_ssize_t fill_payload(UnpackerObject* self, const char* data, Py_ssize_t length) {
  Py_ssize_t taken = payload_share(self, length);
  if (taken > 0) {
    std::memcpy(PyBytes_AS_STRING(self->ctx.payload) + self->payload_filled, data, taken);
    self->payload_filled += taken;
  }
  return taken;
}

// After a run stopped inside a bin's payload: a large one gets its bytes
// object now, with what is buffered of it. One that max_bin_len or
// max_buffer_size refuses is left to the buffer, to fail as it always has.
int start_direct_payload(UnpackerObject* self) {
  decoder_ctx& ctx = self->ctx;
  if (ctx.state != STATE_BIN_PAYLOAD || ctx.payload || ctx.discarding ||
      ctx.active_entry != decode_construct)
    return 0;
  uint64_t n = ctx.segment_len;
  Py_ssize_t buffered = self->tail - self->head;
  if (n < DIRECT_PAYLOAD_MIN || n <= static_cast<uint64_t>(buffered) || ctx.max_bin_len < 0 ||
      n > static_cast<uint64_t>(ctx.max_bin_len) || n > static_cast<uint64_t>(self->max_buffer_size))
    return 0;
  ctx.payload = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!ctx.payload) return -1;
  self->payload_filled = 0;
  self->head += fill_payload(self, self->buffer + self->head, buffered);
  ctx.segment_len = 1;
  return 0;
}

// A pending payload takes the head of the data, the buffer the rest; the
// buffer's refusals come first, so that data is appended whole or not at all.
int append_buffer(UnpackerObject* self, const char* data, Py_ssize_t length) {
  const char* direct = data;
  Py_ssize_t direct_len = payload_share(self, length);
  data += direct_len;
  length -= direct_len;
  Py_ssize_t unread = self->tail - self->head;
  if (self->tail + length > self->buffer_size) {
    if (unread + length <= self->buffer_size) {
      std::memmove(self->buffer, self->buffer + self->head, unread);
    } else {
      if (unread + length > self->max_buffer_size) {
        raise_by_name("BufferFull", nullptr);
        return -1;
      }
      Py_ssize_t size = 2 * (unread + length);
      if (size > self->max_buffer_size) size = self->max_buffer_size;
      char* grown = static_cast<char*>(PyMem_Malloc(size));
      if (!grown) {
        PyErr_SetString(PyExc_MemoryError, "Unable to enlarge internal buffer.");
        return -1;
      }
      if (unread) std::memcpy(grown, self->buffer + self->head, unread);
      PyMem_Free(self->buffer);
      self->buffer = grown;
      self->buffer_size = size;
    }
    self->head = 0;
    self->tail = unread;
  }
  fill_payload(self, direct, direct_len);
  if (length) std::memcpy(self->buffer + self->tail, data, length);
  self->tail += length;
  return 0;
}

int read_from_file(UnpackerObject* self) {
  Py_ssize_t room = self->max_buffer_size - (self->tail - self->head);
  if (room <= 0) {
    raise_by_name("BufferFull", nullptr);
    return -1;
  }
  Ref read = Ref::borrow(self->read_method);
  Py_ssize_t ask = room < self->read_size ? room : self->read_size;
  Ref chunk(PyObject_CallFunction(read.get(), "n", ask));
  if (!chunk) return -1;
  int truth = PyObject_IsTrue(chunk.get());
  if (truth < 0) return -1;
  if (!truth) {
    replace_field(&self->file_like, Py_NewRef(Py_None));
    return 0;
  }
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(chunk.get(), &data, &len) < 0) return -1;
  return append_buffer(self, data, len);
}

// Marks the driver as running for its whole duration.
struct RunningScope {
  UnpackerObject* self;
  explicit RunningScope(UnpackerObject* u) : self(u) { self->in_progress = 1; }
  ~RunningScope() { self->in_progress = 0; }
};

// Entry while the driver runs (from a hook, or another thread) is refused.
int refuse_while_running(UnpackerObject* self, const char* message) {
  if (!self->in_progress) return 0;
  PyErr_SetString(PyExc_RuntimeError, message);
  return -1;
}

// One run of `entry` over the unread bytes, with the position kept in step.
int run_once(UnpackerObject* self, decode_entry entry) {
  self->ctx.active_entry = entry;
  Py_ssize_t h0 = self->head;
  bool filling = self->ctx.payload;
  int code = entry(&self->ctx, self->buffer, self->tail, &self->head);
  self->position += self->head - h0;
  if (filling && !self->ctx.payload) self->position += self->payload_filled;
  if (code == DECODE_COMPLETE) {
    self->ctx.state = 0;
    self->ctx.segment_len = 0;
    self->ctx.depth = 0;
    self->ctx.active_entry = nullptr;
    self->ctx.discarding = false;
  }
  return code;
}

// After a value failed to build, what is left of its item is skipped as far as
// the buffer goes, so that the next read starts at the next item; a rest not
// yet buffered is skipped by the next read before anything else.
void discard_failed_item(UnpackerObject* self) {
  PyObject* failure = PyErr_GetRaisedException();
  int code = self->head < self->tail ? run_once(self, decode_skip) : DECODE_NEED_MORE;
  if (code == DECODE_COMPLETE) Py_CLEAR(self->ctx.result);
  // A malformed or too deep rest fails the next read at that byte instead.
  if (code == DECODE_ERROR) PyErr_Clear();
  PyErr_SetRaisedException(failure);
}

// Malformed input and nesting past the limit leave the context where they
// stopped, so that reading again raises the same error at the same position.
int fail_run(UnpackerObject* self, int code) {
  if (code == DECODE_ERROR) {
    if (self->ctx.discarding)
      discard_failed_item(self);
    else
      reset_ctx(&self->ctx);
    return -1;
  }
  if (self->ctx.depth == 0 && self->ctx.state == 0) self->ctx.active_entry = nullptr;
  raise_for_result(code);
  return -1;
}

// Runs `entry` to completion, refilling from the source as the decoder asks.
int drive(UnpackerObject* self, decode_entry entry, bool iterating) {
  for (;;) {
    if (self->head < self->tail) {
      int code = run_once(self, entry);
      if (code == DECODE_COMPLETE) return 0;
      if (code != DECODE_NEED_MORE) return fail_run(self, code);
      if (start_direct_payload(self) < 0) return -1;
    }
    if (self->file_like == Py_None) {
      if (iterating)
        PyErr_SetString(PyExc_StopIteration, "No more data to unpack.");
      else
        raise_by_name_msg("OutOfData", "No more data to unpack.");
      return -1;
    }
    if (read_from_file(self) < 0) return -1;
  }
}

PyObject* _unpack(UnpackerObject* self, decode_entry entry, bool iterating) {
  if (refuse_while_running(self,
                           "Unpacker cannot be called recursively while unpacking is in progress") < 0)
    return nullptr;
  if (!self->ctx.discarding && self->ctx.active_entry && self->ctx.active_entry != entry) {
    PyErr_SetString(PyExc_ValueError,
                    "Cannot switch unpacking methods while an object is incomplete");
    return nullptr;
  }
  RunningScope running(self);
  if (self->ctx.discarding) {
    if (drive(self, decode_skip, iterating) < 0) return nullptr;
    Py_CLEAR(self->ctx.result);
  }
  if (drive(self, entry, iterating) < 0) return nullptr;
  return std::exchange(self->ctx.result, nullptr);
}

const UnpackerOps unpacker_ops = {append_buffer, read_from_file, _unpack};

const char* const init_names[] = {
    "file_like",      "read_size",         "use_list",          "raw",
    "timestamp",      "strict_map_key",    "object_hook",       "object_pairs_hook",
    "list_hook",      "unicode_errors",    "max_buffer_size",   "ext_hook",
    "max_str_len",    "max_bin_len",       "max_array_len",     "max_map_len",
    "max_ext_len"};
ParamList init_params = {"__init__", init_names, 17, 1, 0, false, {}};
const char* const feed_names[] = {"next_bytes"};
ParamList feed_params = {"feed", feed_names, 1, 1, 1, false, {}};
const char* const nbytes_names[] = {"nbytes"};
ParamList read_bytes_params = {"read_bytes", nbytes_names, 1, 1, 1, false, {}};
ParamList unpack_params = {"unpack", nullptr, 0, 0, 0, false, {}};
ParamList skip_params = {"skip", nullptr, 0, 0, 0, false, {}};
ParamList array_header_params = {"read_array_header", nullptr, 0, 0, 0, false, {}};
ParamList map_header_params = {"read_map_header", nullptr, 0, 0, 0, false, {}};
ParamList tell_params = {"tell", nullptr, 0, 0, 0, false, {}};
ParamList next_params = {"__next__", nullptr, 0, 0, 0, false, {}};

enum {
  U_FILE_LIKE, U_READ_SIZE, U_USE_LIST, U_RAW, U_TIMESTAMP, U_STRICT_MAP_KEY, U_OBJECT_HOOK,
  U_PAIRS_HOOK, U_LIST_HOOK, U_UNICODE_ERRORS, U_MAX_BUFFER, U_EXT_HOOK, U_MAX_STR,
};
static_assert(U_MAX_STR + int{LIMIT_KINDS} == std::ssize(init_names),
              "a limit option per kind, last");


struct InitOptions {
  Py_ssize_t read_size = 0;
  bool use_list = true, raw = false, strict_map_key = true;
  int timestamp = 0;
  Py_ssize_t max_buffer_size = DEFAULT_MAX_BUFFER_SIZE;
  ItemLimits limits = {LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED, LIMIT_DERIVED};
};

int convert_init_options(PyObject** a, InitOptions* o) {
  if ((a[U_READ_SIZE] && convert_ssize(a[U_READ_SIZE], &o->read_size) < 0) ||
      (a[U_USE_LIST] && convert_bool(a[U_USE_LIST], &o->use_list) < 0) ||
      (a[U_RAW] && convert_bool(a[U_RAW], &o->raw) < 0) ||
      (a[U_TIMESTAMP] && convert_int(a[U_TIMESTAMP], &o->timestamp) < 0) ||
      (a[U_STRICT_MAP_KEY] && convert_bool(a[U_STRICT_MAP_KEY], &o->strict_map_key) < 0) ||
      (a[U_MAX_BUFFER] && convert_ssize(a[U_MAX_BUFFER], &o->max_buffer_size) < 0))
    return -1;
  for (int i = 0; i < LIMIT_KINDS; i++)
    if (a[U_MAX_STR + i] && convert_ssize(a[U_MAX_STR + i], &o->limits[i]) < 0) return -1;
  return 0;
}

PyObject** hook_fields(UnpackerObject* self, int i) {
  PyObject** fields[] = {&self->file_like, &self->read_method, &self->object_hook,
                         &self->object_pairs_hook, &self->list_hook, &self->ext_hook,
                         &self->unicode_errors};
  return fields[i];
}
constexpr int OBJECT_FIELDS = 7;

// The decoder context must never point at a hook the object no longer holds.
void forget_ctx_options(UnpackerObject* self) {
  self->ctx.map_hook = self->ctx.list_hook = self->ctx.ext_hook = nullptr;
  self->ctx.unicode_errors = nullptr;
  self->ctx.max_str_len = self->ctx.max_bin_len = self->ctx.max_array_len = 0;
  self->ctx.max_map_len = self->ctx.max_ext_len = 0;
}

// A failed __init__ leaves the object as if just created.
void make_uninitialised(UnpackerObject* self) {
  forget_ctx_options(self);
  PyMem_Free(self->buffer);
  self->buffer = nullptr;
  self->buffer_size = self->head = self->tail = 0;
  self->read_size = self->max_buffer_size = 0;
  self->position = 0;
  for (int i = 0; i < OBJECT_FIELDS; i++) replace_field(hook_fields(self, i), Py_NewRef(Py_None));
}

int init_locked(UnpackerObject* self, PyObject** a, const InitOptions& o) {
  reset_ctx(&self->ctx);
  key_cache_release(&self->ctx);
  key_cache_init(&self->ctx, PY_SSIZE_T_MAX);
  PyMem_Free(self->buffer);
  self->buffer = nullptr;
  PyObject* object_hook = a[U_OBJECT_HOOK] ? a[U_OBJECT_HOOK] : Py_None;
  PyObject* pairs_hook = a[U_PAIRS_HOOK] ? a[U_PAIRS_HOOK] : Py_None;
  PyObject* list_hook = a[U_LIST_HOOK] ? a[U_LIST_HOOK] : Py_None;
  PyObject* ext_hook = a[U_EXT_HOOK] ? a[U_EXT_HOOK] : g.ext_type;
  PyObject* file_like = a[U_FILE_LIKE] ? a[U_FILE_LIKE] : Py_None;
  replace_field(&self->object_hook, Py_NewRef(object_hook));
  replace_field(&self->object_pairs_hook, Py_NewRef(pairs_hook));
  replace_field(&self->list_hook, Py_NewRef(list_hook));
  replace_field(&self->ext_hook, Py_NewRef(ext_hook));
  replace_field(&self->file_like, Py_NewRef(file_like));
  // Any object but None is the source, even one that is false (empty for
  // now); the previous source's read must not outlive a re-initialisation.
  replace_field(&self->read_method, Py_NewRef(Py_None));
  if (PyObject_IsTrue(file_like) < 0) return -1;
  if (file_like != Py_None) {
    PyObject* read = PyObject_GetAttr(file_like, g.str_read);
    if (!read) return -1;
    replace_field(&self->read_method, read);
    if (!PyCallable_Check(read)) {
      PyErr_SetString(PyExc_TypeError, "`file_like.read` must be a callable.");
      return -1;
    }
  }
  Py_ssize_t limit = o.max_buffer_size ? o.max_buffer_size : UNBOUNDED_MAX_BUFFER_SIZE;
  ItemLimits limits;
  std::copy(std::begin(o.limits), std::end(o.limits), limits);
  derive_limits(limits, limit);
  if (o.read_size < 0) {
    PyErr_Format(PyExc_ValueError, "read_size must not be negative, got %zd", o.read_size);
    return -1;
  }
  if (o.read_size > limit) {
    PyErr_SetString(PyExc_ValueError, "read_size should be less or equal to max_buffer_size");
    return -1;
  }
  self->max_buffer_size = limit;
  self->read_size = o.read_size ? o.read_size : std::min(limit, DEFAULT_READ_SIZE_CAP);
  self->buffer = static_cast<char*>(PyMem_Malloc(self->read_size));
  if (!self->buffer) {
    PyErr_SetString(PyExc_MemoryError, "Unable to allocate internal buffer.");
    return -1;
  }
  self->buffer_size = self->read_size;
  self->position = 0;
  self->head = self->tail = 0;
  const char* errors = nullptr;
  PyObject* unicode_errors = a[U_UNICODE_ERRORS] ? a[U_UNICODE_ERRORS] : Py_None;
  replace_field(&self->unicode_errors, Py_NewRef(Py_None));
  if (unicode_errors != Py_None) {
    Ref held;
    if (convert_text_option(unicode_errors, &held, &errors) < 0) return -1;
    replace_field(&self->unicode_errors, held.release());
  }
  Ref ok(init_ctx(&self->ctx, object_hook, pairs_hook, list_hook, ext_hook, o.use_list, o.raw,
                  o.timestamp, o.strict_map_key, errors, limits));
  return ok ? 0 : -1;
}

int unpacker_init_parsed(UnpackerObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[17];
  if (parse_args(&init_params, args, nargs, kwnames, a) < 0) return -1;
  InitOptions o;
  if (convert_init_options(a, &o) < 0) return -1;
  CriticalSection cs(reinterpret_cast<PyObject*>(self));
  if (refuse_while_running(self,
                           "Unpacker.__init__() cannot be called while unpacking is in progress") < 0)
    return -1;
  // Releasing the old hooks may run code that calls back in while the buffer
  // and context are half replaced.
  RunningScope running(self);
  if (init_locked(self, a, o) == 0) return 0;
  make_uninitialised(self);
  return -1;
}

int unpacker_init(PyObject* op, PyObject* args, PyObject* kwargs) {
  FlatArgs flat;
  if (flatten_args(args, kwargs, &flat) < 0) return -1;
  return unpacker_init_parsed(as_unpacker(op), flat.array(), flat.nargs, flat.kwnames.get());
}

PyObject* unpacker_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (!op) return nullptr;
  UnpackerObject* self = as_unpacker(op);
  self->ops = &unpacker_ops;
  attach_stack(&self->ctx, self->stack, STACK_DEPTH);
  for (int i = 0; i < OBJECT_FIELDS; i++) *hook_fields(self, i) = Py_NewRef(Py_None);
  return op;
}

PyObject* unpacker_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  if (tp != &UnpackerType) return call_type_generic(type, args, nargs, kwnames);
  Ref self(unpacker_new(tp, nullptr, nullptr));
  if (!self) return nullptr;
  if (unpacker_init_parsed(as_unpacker(self.get()), args, nargs, kwnames) < 0) return nullptr;
  return self.release();
}

PyObject* unpacker_feed(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* next_bytes;
  if (parse_args(&feed_params, args, nargs, kwnames, &next_bytes) < 0) return nullptr;
  UnpackerObject* self = as_unpacker(op);
  CriticalSection cs(op);
  if (refuse_while_running(self,
                           "Unpacker.feed() cannot be called while unpacking is in progress") < 0)
    return nullptr;
  if (self->file_like != Py_None) {
    PyErr_SetString(PyExc_AssertionError,
                    "unpacker.feed() is not be able to use with `file_like`.");
    return nullptr;
  }
  Py_buffer view;
  const char* data;
  Py_ssize_t len;
  if (!get_data_from_buffer(next_bytes, &view, &data, &len)) return nullptr;
  int rc = append_buffer(self, data, len);
  PyBuffer_Release(&view);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* run_entry(PyObject* op, const ParamList* params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, decode_entry entry) {
  if (parse_args(params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  CriticalSection cs(op);
  return _unpack(as_unpacker(op), entry, false);
}

PyObject* unpacker_unpack(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return run_entry(op, &unpack_params, args, nargs, kwnames, decode_construct);
}

PyObject* unpacker_skip(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  Ref done(run_entry(op, &skip_params, args, nargs, kwnames, decode_skip));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* unpacker_read_array_header(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return run_entry(op, &array_header_params, args, nargs, kwnames, decode_array_header);
}

PyObject* unpacker_read_map_header(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return run_entry(op, &map_header_params, args, nargs, kwnames, decode_map_header);
}

PyObject* unpacker_iternext(PyObject* op) {
  if (check_stack_room() < 0) return nullptr;
  CriticalSection cs(op);
  return _unpack(as_unpacker(op), decode_construct, true);
}

PyObject* unpacker_next(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (parse_args(&next_params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return unpacker_iternext(op);
}

PyObject* unpacker_read_bytes(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* nbytes_obj;
  if (parse_args(&read_bytes_params, args, nargs, kwnames, &nbytes_obj) < 0) return nullptr;
  Py_ssize_t nbytes;
  if (convert_ssize(nbytes_obj, &nbytes) < 0) return nullptr;
  if (nbytes < 0) {
    PyErr_Format(PyExc_ValueError, "read_bytes() nbytes must not be negative, got %zd", nbytes);
    return nullptr;
  }
  UnpackerObject* self = as_unpacker(op);
  CriticalSection cs(op);
  if (refuse_while_running(self,
                           "Unpacker.read_bytes() cannot be called while unpacking is in progress") < 0)
    return nullptr;
  if (self->ctx.active_entry) {
    PyErr_SetString(PyExc_ValueError,
                    "Cannot switch unpacking methods while an object is incomplete");
    return nullptr;
  }
  Py_ssize_t available = self->tail - self->head;
  Py_ssize_t n = nbytes < available ? nbytes : available;
  PyObject* taken = PyBytes_FromStringAndSize(self->buffer ? self->buffer + self->head : "", n);
  if (!taken) return nullptr;
  self->head += n;
  if (available < nbytes && self->file_like != Py_None) {
    // The put-back below is sound only if nothing replaced the buffer meanwhile.
    RunningScope running(self);
    Ref count(PyLong_FromSsize_t(nbytes - n));
    Ref more(count ? PyObject_CallMethodOneArg(self->file_like, g.str_read, count.get()) : nullptr);
    if (more) PyBytes_Concat(&taken, more.get());
    if (!more || !taken) {
      // Put the buffered bytes back so that a failed read loses no stream data.
      Py_XDECREF(taken);
      self->head -= n;
      return nullptr;
    }
    n = PyBytes_GET_SIZE(taken);
  }
  self->position += n;
  return taken;
}

PyObject* unpacker_tell(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (parse_args(&tell_params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  CriticalSection cs(op);
  return PyLong_FromUnsignedLongLong(as_unpacker(op)->position);
}

constexpr const char NOT_PICKLABLE[] =
    "self.ctx cannot be converted to a Python object for pickling";

int unpacker_traverse(PyObject* op, visitproc visit, void* arg) {
  UnpackerObject* self = as_unpacker(op);
  for (int i = 0; i < OBJECT_FIELDS; i++) Py_VISIT(*hook_fields(self, i));
  // A partly decoded object can hold a cycle back to this Unpacker.
  for (uint32_t i = 0; i < self->ctx.depth; i++) {
    if (int rc = visit_held(self->ctx.stack[i].container, visit, arg)) return rc;
    Py_VISIT(self->ctx.stack[i].pending_key);
  }
  Py_VISIT(self->ctx.result);
  return 0;
}

int unpacker_clear(PyObject* op) {
  UnpackerObject* self = as_unpacker(op);
  {
    // Releasing the partly decoded object may run code that calls back in.
    RunningScope running(self);
    reset_ctx(&self->ctx);
  }
  forget_ctx_options(self);
  for (int i = 0; i < OBJECT_FIELDS; i++) replace_field(hook_fields(self, i), Py_NewRef(Py_None));
  return 0;
}

void unpacker_dealloc(PyObject* op) {
  if (Py_TYPE(op)->tp_finalize && PyObject_CallFinalizerFromDealloc(op) < 0) return;
  dealloc_object(op, [self = as_unpacker(op)] {
    reset_ctx(&self->ctx);
    key_cache_release(&self->ctx);
    PyMem_Free(self->buffer);
    self->buffer = nullptr;
    for (int i = 0; i < OBJECT_FIELDS; i++) Py_CLEAR(*hook_fields(self, i));
  });
}

PyMethodDef unpacker_methods[] = {
    {"feed", FASTCALL(unpacker_feed), METHOD_FLAGS,
     "Unpacker.feed(self, next_bytes)\n\nAppend `next_bytes` to internal buffer."},
    {"read_bytes", FASTCALL(unpacker_read_bytes), METHOD_FLAGS,
     "Unpacker.read_bytes(self, Py_ssize_t nbytes)\n\nRead a specified number of raw bytes from "
     "the stream"},
    {"unpack", FASTCALL(unpacker_unpack), METHOD_FLAGS,
     "Unpacker.unpack(self)\n\nUnpack one object\n\nRaises `OutOfData` when there are no more "
     "bytes to unpack."},
    {"skip", FASTCALL(unpacker_skip), METHOD_FLAGS,
     "Unpacker.skip(self)\n\nRead and ignore one object, returning None\n\nRaises `OutOfData` "
     "when there are no more bytes to unpack."},
    {"read_array_header", FASTCALL(unpacker_read_array_header), METHOD_FLAGS,
     "Unpacker.read_array_header(self)\n\nassuming the next object is an array, return its size "
     "n, such that\nthe next n unpack() calls will iterate over its contents.\n\nRaises "
     "`OutOfData` when there are no more bytes to unpack."},
    {"read_map_header", FASTCALL(unpacker_read_map_header), METHOD_FLAGS,
     "Unpacker.read_map_header(self)\n\nassuming the next object is a map, return its size n, "
     "such that the\nnext n * 2 unpack() calls will iterate over its key-value pairs.\n\nRaises "
     "`OutOfData` when there are no more bytes to unpack."},
    {"tell", FASTCALL(unpacker_tell), METHOD_FLAGS,
     "Unpacker.tell(self)\n\nReturns the current position of the Unpacker in bytes, i.e., the\n"
     "number of bytes that were read from the input, also the starting\nposition of the next "
     "object."},
    {"__next__", FASTCALL(unpacker_next), METHOD_FLAGS | METH_COEXIST,
     "Implement next(self)."},
    reduce_method<NOT_PICKLABLE>(),
    setstate_method<NOT_PICKLABLE>(),
    {nullptr, nullptr, 0, nullptr},
};

const char unpacker_doc[] =
    "Unpacker(file_like=None, *, read_size=0, use_list=True, raw=False, timestamp=0, "
    "strict_map_key=True, object_hook=None, object_pairs_hook=None, list_hook=None, "
    "unicode_errors=None, max_buffer_size=100*1024*1024, ext_hook=ExtType, max_str_len=-1, "
    "max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)\n"
    "\n"
    "Streaming unpacker.\n"
    "\n"
    "Objects are read from `file_like` (anything with a `read(n)` method returning bytes)\n"
    "or from bytes given to `feed()`, and come out of `unpack()` or iteration.\n"
    "\n"
    "When a value cannot be built (invalid UTF-8, a limit, a hook that raises), the\n"
    "whole top-level item it belongs to is dropped: the next read returns the item\n"
    "after it, and `tell()` is where that one starts. Malformed input (FormatError)\n"
    "and nesting too deep (StackError) stay where they failed: reading again raises\n"
    "the same error, and `tell()` does not move.\n"
    "\n"
    ":param file_like: source of bytes; when given, `feed()` is not available.\n"
    ":param int read_size: bytes asked of one `read()` call; 0 means min(1 MiB, max_buffer_size).\n"
    ":param bool use_list: arrays become lists (True) or tuples (False).\n"
    ":param bool raw: strings become bytes instead of str.\n"
    ":param int timestamp: Timestamp values as 0 Timestamp, 1 float, 2 int nanoseconds, "
    "3 aware datetime.\n"
    ":param bool strict_map_key: only str and bytes are accepted as map keys.\n"
    ":param object_hook: called with every decoded dict; its result replaces it.\n"
    ":param object_pairs_hook: called with every map as a list of (key, value) pairs.\n"
    ":param list_hook: called with every decoded array; its result replaces it.\n"
    ":param str unicode_errors: error handler for decoding UTF-8 (default 'strict').\n"
    ":param int max_buffer_size: most unread bytes held at once; 0 means 2**31-1.\n"
    ":param ext_hook: called as ext_hook(code, data) for extension types.\n"
    ":param int max_str_len, max_bin_len, max_array_len, max_map_len, max_ext_len:\n"
    "    limits on single items; -1 derives them from max_buffer_size.";

}  // namespace

int unpacker_params_init() {
  for (ParamList* pl : {&init_params, &feed_params, &read_bytes_params, &setstate_params})
    if (params_init(pl) < 0) return -1;
  return 0;
}

PyTypeObject UnpackerType = [] {
  PyTypeObject t = class_type({.name = "quoril._cquoril.Unpacker",
                               .basicsize = sizeof(UnpackerObject),
                               .doc = unpacker_doc,
                               .dealloc = unpacker_dealloc,
                               .traverse = unpacker_traverse,
                               .clear = unpacker_clear,
                               .methods = unpacker_methods,
                               .init = unpacker_init,
                               .new_ = unpacker_new,
                               .vectorcall = unpacker_vectorcall});
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = unpacker_iternext;
  return t;
}();
