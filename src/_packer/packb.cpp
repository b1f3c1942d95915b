// One-shot packing for quoril.packb: the Packer's encoder over a block that
// lives for one call, without creating a Packer object.
#include "_cquoril/args.h"
#include "_cquoril/compat.h"
#include "_cquoril/module.h"
#include "_packer/packer.h"

namespace {

// Most one-shot messages fit a block of the call's frame; larger ones move to
// a bytes object that grows as a Packer's block does.
constexpr size_t ONE_SHOT_CAPACITY = 512;

struct OneShotBuffer {
  pack_buffer buffer{};
  ~OneShotBuffer() { Py_XDECREF(buffer.bytes); }
};

PyObject* packb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "packb() takes exactly 1 positional argument (%zd given)",
                 nargs);
    return nullptr;
  }
  EncodeOptions o;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    if (convert_encode_options(args + 1, 0, kwnames, &o) < 0) return nullptr;
  } else if (check_stack_room() < 0) {  // what parsing would have checked
    return nullptr;
  }
  size_t capacity = ONE_SHOT_CAPACITY;
  if (o.buf_size) {
    unsigned long long requested;
    if (convert_unsigned(o.buf_size, "size_t", &requested) < 0) return nullptr;
    capacity = requested;
  }
  EncodeCall call;
  if (encode_call_from_options(&call, o) < 0) return nullptr;
  OneShotBuffer out;
  out.buffer.use_bin_type = o.use_bin_type;
  char scratch[ONE_SHOT_CAPACITY];
  if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX)) capacity = ONE_SHOT_CAPACITY;
  if (capacity <= ONE_SHOT_CAPACITY) {
    out.buffer.buf = scratch;
    out.buffer.capacity = ONE_SHOT_CAPACITY;
    out.buffer.in_scratch = true;
  } else {
    out.buffer.bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!out.buffer.bytes) return nullptr;
    out.buffer.buf = PyBytes_AS_STRING(out.buffer.bytes);
    out.buffer.capacity = capacity;
  }
  call.buf = &out.buffer;
  if (pack_object(&call, args[0], DEFAULT_NEST_LIMIT) < 0) return nullptr;
  return buffer_take_result(&out.buffer);
}


}  // namespace

PyMethodDef packb_def = {
    "packb", FASTCALL(packb), METH_FASTCALL | METH_KEYWORDS,
    "packb(obj, **options)\n\nPack obj and return the bytes. The keyword options are those of "
    "Packer;\nthe result is the same as Packer(**options).pack(obj) with autoreset on."};
