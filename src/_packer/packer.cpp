// The Packer class: construction, header methods, output access and exports.
#include "_cquoril/args.h"
#include "_cquoril/class_parts.h"
#include "_cquoril/compat.h"
#include "_cquoril/ft.h"
#include "_cquoril/module.h"
#include "_packer/packer.h"

#include <iterator>

int _check_exports(PackerObject* self) {
  if (self->exports) {
    PyErr_SetString(PyExc_BufferError, "Existing exports of data: Packer cannot be changed");
    return -1;
  }
  return 0;
}

namespace {

const PackerOps packer_ops = {_check_exports, _pack_inner, _pack};


const char* const cinit_names[] = {"buf_size"};
ParamList cinit_params = {"__cinit__", cinit_names, 1, 1, 0, true, {}};

const char* const init_names[] = {"default", "use_single_float", "autoreset", "use_bin_type",
                                  "strict_types", "datetime", "unicode_errors", "buf_size"};
Params init_params("__init__", init_names, 0, 0);
enum {
  P_DEFAULT, P_USE_SINGLE_FLOAT, P_AUTORESET, P_USE_BIN_TYPE, P_STRICT_TYPES, P_DATETIME,
  P_UNICODE_ERRORS, P_BUF_SIZE,
};

const char* const obj_names[] = {"obj"};
ParamList pack_params = {"pack", obj_names, 1, 1, 1, false, {}};
const char* const ext_names[] = {"typecode", "data"};
ParamList pack_ext_params = {"pack_ext_type", ext_names, 2, 2, 2, false, {}};
const char* const size_names[] = {"size"};
ParamList array_header_params = {"pack_array_header", size_names, 1, 1, 1, false, {}};
ParamList map_header_params = {"pack_map_header", size_names, 1, 1, 1, false, {}};
const char* const pairs_names[] = {"pairs"};
ParamList pairs_params = {"pack_map_pairs", pairs_names, 1, 1, 1, false, {}};
ParamList reset_params = {"reset", nullptr, 0, 0, 0, false, {}};
ParamList bytes_params = {"bytes", nullptr, 0, 0, 0, false, {}};
ParamList getbuffer_params = {"getbuffer", nullptr, 0, 0, 0, false, {}};

PackerObject* as_packer(PyObject* op) { return reinterpret_cast<PackerObject*>(op); }

// The allocation step: the object and its block of buf_size bytes.
PyObject* packer_alloc(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* slots[1];
  if (parse_args(&cinit_params, args, nargs, kwnames, slots) < 0) return nullptr;
  unsigned long long buf_size = DEFAULT_PACKER_BUF_SIZE;
  if (slots[0] && convert_unsigned(slots[0], "size_t", &buf_size) < 0) return nullptr;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  PackerObject* p = as_packer(self.get());
  p->ops = &packer_ops;
  p->default_ = Py_NewRef(Py_None);
  p->unicode_errors = Py_NewRef(Py_None);
  p->buffer.buf = static_cast<char*>(PyMem_Malloc(buf_size));
  if (!p->buffer.buf) {
    PyErr_SetString(PyExc_MemoryError, "Unable to allocate internal buffer.");
    return nullptr;
  }
  p->buffer.capacity = buf_size;
  return self.release();
}

PyObject* packer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  FlatArgs flat;
  if (flatten_args(args, kwargs, &flat) < 0) return nullptr;
  return packer_alloc(type, flat.array(), flat.nargs, flat.kwnames.get());
}

int set_unicode_errors(PackerObject* self, PyObject* value) {
  self->errors_cstr = nullptr;
  replace_field(&self->unicode_errors, Py_NewRef(Py_None));
  if (value == Py_None) return 0;
  Ref held;
  const char* text;
  if (convert_text_option(value, &held, &text) < 0) return -1;
  replace_field(&self->unicode_errors, held.release());
  self->errors_cstr = text;
  return 0;
}

int packer_init_parsed(PackerObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  EncodeOptions o;
  if (convert_encode_options(args, nargs, kwnames, &o) < 0) return -1;
  CriticalSection cs(reinterpret_cast<PyObject*>(self));
  if (self->packing) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Packer.__init__() cannot be called while packing is in progress");
    return -1;
  }
  self->use_single_float = o.use_single_float;
  self->autoreset = o.autoreset;
  self->buffer.use_bin_type = o.use_bin_type;
  self->strict_types = o.strict_types;
  self->datetime = o.datetime;
  if (check_default(o.default_) < 0) return -1;
  replace_field(&self->default_, Py_NewRef(o.default_));
  return set_unicode_errors(self, o.unicode_errors);
}

int packer_init(PyObject* op, PyObject* args, PyObject* kwargs) {
  FlatArgs flat;
  if (flatten_args(args, kwargs, &flat) < 0) return -1;
  return packer_init_parsed(as_packer(op), flat.array(), flat.nargs, flat.kwnames.get());
}

// Calling the exact class runs both steps straight from the vector.
PyObject* packer_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  if (tp != &PackerType) return call_type_generic(type, args, nargs, kwnames);
  Ref self(packer_alloc(tp, args, nargs, kwnames));
  if (!self) return nullptr;
  if (packer_init_parsed(as_packer(self.get()), args, nargs, kwnames) < 0) return nullptr;
  return self.release();
}

// The writing methods' shared ending: hand out the output when autoreset.
PyObject* finish_write(PackerObject* self) {
  if (!self->autoreset) Py_RETURN_NONE;
  PyObject* out = PyBytes_FromStringAndSize(self->buffer.buf, self->buffer.length);
  // Emptied even when the result could not be made: the item is lost with
  // its error rather than handed out in front of the next one.
  self->buffer.length = 0;
  return out;
}

int refuse_reentry(PackerObject* self) {
  if (!self->packing) return 0;
  PyErr_SetString(PyExc_RuntimeError,
                  "Packer cannot be called recursively while packing is in progress");
  return -1;
}

int begin_write(PackerObject* self) {
  if (refuse_reentry(self) < 0) return -1;
  return _check_exports(self);
}

// Marks a serializing call for its whole duration, whatever path leaves it.
struct PackingScope {
  PackerObject* self;
  explicit PackingScope(PackerObject* p) : self(p) { self->packing = 1; }
  ~PackingScope() { self->packing = 0; }
};

// With autoreset, the Packer's block can serve pack() as packb's frame block
// serves it: a message that outgrows it moves to the bytes object that becomes
// the result, so a large payload is copied once and the block keeps its size.
class OwnResultScope {
 public:
  explicit OwnResultScope(pack_buffer* b) : b_(b), block_(b->buf), capacity_(b->capacity) {
    b->in_scratch = true;
  }
  ~OwnResultScope() {
    Py_CLEAR(b_->bytes);
    b_->buf = block_;
    b_->capacity = capacity_;
    b_->in_scratch = false;
    b_->length = 0;
  }
  OwnResultScope(const OwnResultScope&) = delete;
  OwnResultScope& operator=(const OwnResultScope&) = delete;

 private:
  pack_buffer* b_;
  char* block_;
  size_t capacity_;
};

int pack_call(PackerObject* self, PyObject* obj) {
  PackingScope scope(self);
  EncodeCall call;
  encode_call_begin(&call, self);
  return pack_object(&call, obj, DEFAULT_NEST_LIMIT);
}

PyObject* packer_pack(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* obj;
  if (parse_args(&pack_params, args, nargs, kwnames, &obj) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (begin_write(self) < 0) return nullptr;
  if (self->autoreset && LARGE_REALLOC_REMAPS) {
    OwnResultScope own(&self->buffer);
    if (pack_call(self, obj) < 0) return nullptr;
    return buffer_take_result(&self->buffer);
  }
  if (pack_call(self, obj) < 0) {
    self->buffer.length = 0;
    return nullptr;
  }
  return finish_write(self);
}

// The map of pack_map_pairs, or nothing: a failure leaves the buffer as it was.
int pack_pairs_call(PackerObject* self, PyObject* pairs) {
  size_t start = self->buffer.length;
  Py_ssize_t n = PyObject_Size(pairs);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > SIZE_LIMIT) {
    PyErr_SetString(PyExc_ValueError, "map too large");
    return -1;
  }
  EncodeCall call;
  encode_call_begin(&call, self);
  if (write_map_header(&self->buffer, static_cast<uint32_t>(n)) < 0 ||
      pack_pairs(&call, pairs, n) < 0) {
    self->buffer.length = start;
    return -1;
  }
  return 0;
}

PyObject* packer_pack_map_pairs(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* pairs;
  if (parse_args(&pairs_params, args, nargs, kwnames, &pairs) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (begin_write(self) < 0) return nullptr;
  int rc;
  {
    PackingScope scope(self);
    rc = pack_pairs_call(self, pairs);
  }
  return rc < 0 ? nullptr : finish_write(self);
}

PyObject* packer_pack_ext_type(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* slots[2];
  if (parse_args(&pack_ext_params, args, nargs, kwnames, slots) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (begin_write(self) < 0) return nullptr;
  PackingScope scope(self);
  Py_ssize_t n = PyObject_Size(slots[1]);
  if (n < 0) return nullptr;
  if (static_cast<size_t>(n) > SIZE_LIMIT) {
    PyErr_SetString(PyExc_ValueError, "ext data too large");
    return nullptr;
  }
  int8_t code;
  if (convert_char(slots[0], &code) < 0) return nullptr;
  size_t start = self->buffer.length;
  if (write_ext_item(&self->buffer, code, slots[1]) < 0) {
    self->buffer.length = start;  // no half-written item is left behind
    return nullptr;
  }
  return finish_write(self);
}

PyObject* write_header(PyObject* op, const ParamList* params, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, bool map) {
  PyObject* size_obj;
  if (parse_args(params, args, nargs, kwnames, &size_obj) < 0) return nullptr;
  long long size;
  if (convert_long(size_obj, &size) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (begin_write(self) < 0) return nullptr;
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError,
                    map ? "map size must be non-negative" : "array size must be non-negative");
    return nullptr;
  }
  if (static_cast<unsigned long long>(size) > SIZE_LIMIT) {
    PyErr_SetString(PyExc_ValueError, map ? "map too learge" : "array too large");
    return nullptr;
  }
  int rc = map ? write_map_header(&self->buffer, static_cast<uint32_t>(size))
               : write_array_header(&self->buffer, static_cast<uint32_t>(size));
  if (rc < 0) return nullptr;
  return finish_write(self);
}

PyObject* packer_pack_array_header(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return write_header(op, &array_header_params, args, nargs, kwnames, false);
}

PyObject* packer_pack_map_header(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return write_header(op, &map_header_params, args, nargs, kwnames, true);
}

PyObject* packer_reset(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (parse_args(&reset_params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (begin_write(self) < 0) return nullptr;
  self->buffer.length = 0;
  Py_RETURN_NONE;
}

PyObject* packer_bytes(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (parse_args(&bytes_params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  return PyBytes_FromStringAndSize(self->buffer.buf, self->buffer.length);
}

PyObject* packer_getbuffer(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (parse_args(&getbuffer_params, args, nargs, kwnames, nullptr) < 0) return nullptr;
  return PyMemoryView_FromObject(op);
}

constexpr const char NOT_PICKLABLE[] = "no default __reduce__ due to non-trivial __cinit__";

int packer_getbuf(PyObject* op, Py_buffer* view, int flags) {
  if (!view) {
    PyErr_SetString(PyExc_BufferError, "PyObject_GetBuffer: view==NULL argument is obsolete");
    return -1;
  }
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  if (self->packing) {
    // An append later in the running call could move the block under the view.
    PyErr_SetString(PyExc_BufferError,
                    "Packer cannot export its buffer while packing is in progress");
    view->obj = nullptr;
    return -1;
  }
  if (PyBuffer_FillInfo(view, op, self->buffer.buf, self->buffer.length, 1, flags) < 0)
    return -1;
  self->exports++;
  return 0;
}

void packer_releasebuf(PyObject* op, Py_buffer*) {
  PackerObject* self = as_packer(op);
  CriticalSection cs(op);
  self->exports--;
}

int packer_traverse(PyObject* op, visitproc visit, void* arg) {
  PackerObject* self = as_packer(op);
  Py_VISIT(self->default_);
  Py_VISIT(self->unicode_errors);
  return 0;
}

int packer_clear(PyObject* op) {
  PackerObject* self = as_packer(op);
  replace_field(&self->default_, Py_NewRef(Py_None));
  self->errors_cstr = nullptr;
  replace_field(&self->unicode_errors, Py_NewRef(Py_None));
  return 0;
}

void packer_dealloc(PyObject* op) {
  dealloc_object(op, [self = as_packer(op)] {
    PyMem_Free(self->buffer.buf);
    self->buffer.buf = nullptr;
    Py_CLEAR(self->default_);
    Py_CLEAR(self->unicode_errors);
  });
}

PyBufferProcs packer_as_buffer = {packer_getbuf, packer_releasebuf};

PyMethodDef packer_methods[] = {
    reduce_method<NOT_PICKLABLE>(),
    setstate_method<NOT_PICKLABLE>(),
    {"pack", FASTCALL(packer_pack), METHOD_FLAGS, "Packer.pack(self, obj)"},
    {"pack_ext_type", FASTCALL(packer_pack_ext_type), METHOD_FLAGS,
     "Packer.pack_ext_type(self, typecode, data)"},
    {"pack_array_header", FASTCALL(packer_pack_array_header), METHOD_FLAGS,
     "Packer.pack_array_header(self, long long size)"},
    {"pack_map_header", FASTCALL(packer_pack_map_header), METHOD_FLAGS,
     "Packer.pack_map_header(self, long long size)"},
    {"pack_map_pairs", FASTCALL(packer_pack_map_pairs), METHOD_FLAGS,
     "Packer.pack_map_pairs(self, pairs)\n\nPack *pairs* as quoril map type.\n\n"
     "*pairs* should be a sequence of pairs.\n"
     "(`len(pairs)` and `for k, v in pairs:` should be supported.)"},
    {"reset", FASTCALL(packer_reset), METHOD_FLAGS,
     "Packer.reset(self)\n\nReset internal buffer.\n\n"
     "This method is useful only when autoreset=False."},
    {"bytes", FASTCALL(packer_bytes), METHOD_FLAGS,
     "Packer.bytes(self)\n\nReturn internal buffer contents as bytes object"},
    {"getbuffer", FASTCALL(packer_getbuffer), METHOD_FLAGS,
     "Packer.getbuffer(self)\n\nReturn memoryview of internal buffer.\n\n"
     "Note: Packer now supports buffer protocol. You can use memoryview(packer)."},
    {nullptr, nullptr, 0, nullptr},
};

const char packer_doc[] =
    "Packer(default=None, *, bool use_single_float=False, bool autoreset=True, "
    "bool use_bin_type=True, bool strict_types=False, bool datetime=False, "
    "unicode_errors=None, buf_size=0x40000)\n"
    "\n"
    "MessagePack Packer\n"
    "\n"
    "Usage::\n"
    "\n"
    "    packer = Packer()\n"
    "    astream.write(packer.pack(a))\n"
    "    astream.write(packer.pack(b))\n"
    "\n"
    "Packer's constructor has some keyword arguments:\n"
    "\n"
    ":param default:\n"
    "    When specified, it should be callable.\n"
    "    Convert user type to builtin type that Packer supports.\n"
    "\n"
    ":param bool use_single_float:\n"
    "    Use single precision float type for float. (default: False)\n"
    "\n"
    ":param bool autoreset:\n"
    "    Reset buffer after each pack and return its content as `bytes`. (default: True).\n"
    "    If set this to false, use `bytes()` to get content and `.reset()` to clear buffer.\n"
    "\n"
    ":param bool use_bin_type:\n"
    "    Use bin type introduced in quoril spec 2.0 for bytes.\n"
    "    It also enables str8 type for unicode. (default: True)\n"
    "\n"
    ":param bool strict_types:\n"
    "    If set to true, types will be checked to be exact. Derived classes\n"
    "    from serializeable types will not be serialized and will be\n"
    "    treated as unsupported type and forwarded to default.\n"
    "    Additionally tuples will not be serialized as lists.\n"
    "    This is useful when trying to implement accurate serialization\n"
    "    for python types.\n"
    "\n"
    ":param bool datetime:\n"
    "    If set to true, datetime with tzinfo is packed into Timestamp type.\n"
    "    Note that the tzinfo is stripped in the timestamp.\n"
    "    You can get UTC datetime with `timestamp=3` option of the Unpacker.\n"
    "\n"
    ":param str unicode_errors:\n"
    "    The error handler for encoding unicode. (default: 'strict')\n"
    "    DO NOT USE THIS!!  This option is kept for very specific usage.\n"
    "\n"
    ":param int buf_size:\n"
    "    The size of the internal buffer. (default: 256*1024)\n"
    "    Useful if serialisation size can be correctly estimated,\n"
    "    avoid unnecessary reallocations.";

}  // namespace

int convert_encode_options(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           EncodeOptions* out) {
  PyObject* slots[std::size(init_names)];
  if (parse_args(init_params, args, nargs, kwnames, slots) < 0) return -1;
  // In the order of their parameters, which follow `default`.
  bool* flags[] = {&out->use_single_float, &out->autoreset, &out->use_bin_type,
                   &out->strict_types, &out->datetime};
  static_assert(P_USE_SINGLE_FLOAT + std::size(flags) == size_t{P_UNICODE_ERRORS});
  for (size_t i = 0; i < std::size(flags); i++)
    if (slots[P_USE_SINGLE_FLOAT + i] &&
        convert_bool(slots[P_USE_SINGLE_FLOAT + i], flags[i]) < 0)
      return -1;
  out->default_ = slots[P_DEFAULT] ? slots[P_DEFAULT] : Py_None;
  out->unicode_errors = slots[P_UNICODE_ERRORS] ? slots[P_UNICODE_ERRORS] : Py_None;
  out->buf_size = slots[P_BUF_SIZE];
  return 0;
}

int check_default(PyObject* default_) {
  if (default_ == Py_None || PyCallable_Check(default_)) return 0;
  PyErr_SetString(PyExc_TypeError, "default must be a callable.");
  return -1;
}

int packer_params_init() {
  ParamList* lists[] = {&cinit_params,        &init_params,       &pack_params,  &pack_ext_params,
                        &array_header_params, &map_header_params, &pairs_params, &setstate_params};
  for (ParamList* pl : lists)
    if (params_init(pl) < 0) return -1;
  return 0;
}

PyTypeObject PackerType = [] {
  PyTypeObject t = class_type({.name = "quoril._cquoril.Packer",
                               .basicsize = sizeof(PackerObject),
                               .doc = packer_doc,
                               .dealloc = packer_dealloc,
                               .traverse = packer_traverse,
                               .clear = packer_clear,
                               .methods = packer_methods,
                               .init = packer_init,
                               .new_ = packer_new,
                               .vectorcall = packer_vectorcall});
  t.tp_as_buffer = &packer_as_buffer;
  return t;
}();
