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

// The Packer's first output block, when buf_size is not given.
constexpr unsigned long long DEFAULT_PACKER_BUF_SIZE = 256 * 1024;
// The Unpacker's buffer bound when max_buffer_size is not given, and when it is 0.
constexpr Py_ssize_t DEFAULT_MAX_BUFFER_SIZE = 100 * 1024 * 1024;
constexpr Py_ssize_t UNBOUNDED_MAX_BUFFER_SIZE = INT32_MAX;
// The most an Unpacker reads from its file at once when read_size is not given.
constexpr Py_ssize_t DEFAULT_READ_SIZE_CAP = 1024 * 1024;

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
