// Process-wide values, written once by module exec and read-only afterwards.
#pragma once
#include "ref.h"

#include <cstdint>



struct ModuleGlobals {
  PyObject* module = nullptr;            // the one module object (owned)
  void* datetime_api = nullptr;          // PyDateTime_CAPI, see dt.h
  PyObject* utc = nullptr;               // datetime.timezone.utc
  PyObject* epoch = nullptr;             // 1970-01-01 00:00:00 UTC, aware
  PyObject* ext_type = nullptr;          // quoril.ext.ExtType
  PyObject* timestamp_type = nullptr;    // quoril.ext.Timestamp
  PyObject* billion = nullptr;           // the int 1000000000
  PyObject* builtins = nullptr;          // the builtins module
  PyObject* thread_cache_key = nullptr;  // names the decoder's key cache in thread states
  // Interned attribute names, made once rather than on every lookup.
  PyObject* str_data = nullptr;
  PyObject* str_code = nullptr;
  PyObject* str_seconds = nullptr;
  PyObject* str_nanoseconds = nullptr;
  PyObject* str_items = nullptr;
  PyObject* str_read = nullptr;
};
extern ModuleGlobals g;

constexpr int DEFAULT_NEST_LIMIT = 1024;
constexpr uint64_t SIZE_LIMIT = 4294967295ULL;

// Raises the exception class bound under `name` in the module namespace (then
// the builtins) at this moment; `args` is a tuple of arguments or null.
void raise_by_name(const char* name, PyObject* args);
void raise_by_name_msg(const char* name, const char* message);

// Types and functions the other files provide to module exec.
extern PyTypeObject PackerType;
extern PyTypeObject UnpackerType;
int packer_params_init();
int unpacker_params_init();
int unpackb_params_init();
extern PyMethodDef unpackb_def;
extern PyMethodDef default_read_extended_type_def;
extern PyMethodDef packb_def;
