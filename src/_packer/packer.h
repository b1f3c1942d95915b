// The Packer object, shared by the object encoder and the class.
#pragma once
#include "_cquoril/args.h"
#include "_packer/buffer.h"

struct PackerObject;

// The class's internal operations, unseen by Python.
struct PackerOps {
  int (*check_exports)(PackerObject*);
  int (*pack_inner)(PackerObject*, PyObject*, bool, int);
  int (*pack)(PackerObject*, PyObject*, int);
};

struct PackerObject {
  PyObject_HEAD
  const PackerOps* ops;
  pack_buffer buffer;
  PyObject* default_;
  PyObject* unicode_errors;
  const char* errors_cstr;
  size_t exports;
  int strict_types;
  int use_single_float;
  int autoreset;
  int datetime;
  // Set while a serializing call runs Python code with the section possibly
  // suspended; re-entry would interleave two outputs in one buffer.
  int packing;
};

// The options of one serializing call, held for its whole duration so that
// nothing the encoder calls can free them mid-call.
struct EncodeCall {
  pack_buffer* buf;
  Ref default_;
  Ref unicode_errors;
  const char* errors;
  bool strict_types;
  bool use_single_float;
  bool datetime;
  // Entries to the only paths that may run Python code (pack_value_slow and
  // pack_str_with_errors): exact containers and plain scalars run none, and a
  // list's run of held items is packed ahead only while this stays put.
  uint64_t slow_entries = 0;
};

// A Packer's call: the options it holds.
void encode_call_begin(EncodeCall* call, PackerObject* self);

// The options of Packer.__init__ and packb, parsed, the booleans converted.
struct EncodeOptions {
  PyObject* default_ = Py_None;        // borrowed from the call's arguments
  PyObject* unicode_errors = Py_None;  // borrowed
  PyObject* buf_size = nullptr;        // borrowed, or null
  bool use_single_float = false;
  bool autoreset = true;
  bool use_bin_type = true;
  bool strict_types = false;
  bool datetime = false;
};
int convert_encode_options(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           EncodeOptions* out);
int check_default(PyObject* default_);

// A one-shot call: the options checked and converted as __init__ would
// store them (which it does in steps, keeping those stored before a failure).
inline int encode_call_from_options(EncodeCall* call, const EncodeOptions& o) {
  if (o.default_ != Py_None) {
    if (check_default(o.default_) < 0) return -1;
    call->default_ = Ref::borrow(o.default_);
  }
  call->errors = nullptr;
  if (o.unicode_errors != Py_None &&
      convert_text_option(o.unicode_errors, &call->unicode_errors, &call->errors) < 0)
    return -1;
  call->strict_types = o.strict_types;
  call->use_single_float = o.use_single_float;
  call->datetime = o.datetime;
  return 0;
}
int pack_object(EncodeCall* call, PyObject* obj, int depth_left);
int pack_pairs(EncodeCall* call, PyObject* pairs, Py_ssize_t announced);
int write_ext_item(pack_buffer* b, int8_t code, PyObject* data);

int _check_exports(PackerObject* self);
int _pack_inner(PackerObject* self, PyObject* obj, bool default_allowed, int depth_left);
int _pack(PackerObject* self, PyObject* obj, int depth_left);
