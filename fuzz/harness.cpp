// libFuzzer entry points that embed the interpreter and hand each input to one
// of the Python targets in fuzz_targets.py (QUORIL_FUZZ_TARGET names it). A
// target raises only for behaviour outside the documented exceptions; that,
// and any sanitizer report, is a finding.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

static PyObject* target = nullptr;

static void fail_with_python_error() {
  PyErr_Print();
  std::fflush(stderr);
  std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  // Every block from the system allocator, where AddressSanitizer sees it.
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&preconfig))) std::abort();
  Py_Initialize();
  const char* path = std::getenv("QUORIL_FUZZ_PATH");
  const char* name = std::getenv("QUORIL_FUZZ_TARGET");
  if (!path || !name) {
    std::fprintf(stderr, "set QUORIL_FUZZ_PATH and QUORIL_FUZZ_TARGET\n");
    std::abort();
  }
  PyObject* sys_path = PySys_GetObject("path");
  PyObject* entries = PyUnicode_Split(PyUnicode_FromString(path), PyUnicode_FromString(":"), -1);
  if (!sys_path || !entries || PyList_SetSlice(sys_path, 0, 0, entries) < 0)
    fail_with_python_error();
  PyObject* module = PyImport_ImportModule("fuzz_targets");
  if (!module) fail_with_python_error();
  target = PyObject_GetAttrString(module, name);
  if (!target) fail_with_python_error();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (!input) fail_with_python_error();
  PyObject* result = PyObject_CallOneArg(target, input);
  Py_DECREF(input);
  if (!result) fail_with_python_error();
  Py_DECREF(result);
  return 0;
}
