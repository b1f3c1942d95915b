#include "_cquoril/module.h"

#include <cstdio>
#include <iterator>

#include "_cquoril/args.h"
#include "_cquoril/dt.h"
#include "_cquoril/ft.h"

ModuleGlobals g;

namespace {

int64_t first_interpreter_id = -1;

Ref exception_by_name(const char* name) {
  Ref key(PyUnicode_FromString(name));
  if (!key) return Ref();
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(PyModule_GetDict(g.module), key.get(), &found) < 0) return Ref();
  if (!found && PyDict_GetItemRef(PyModule_GetDict(g.builtins), key.get(), &found) < 0)
    return Ref();
  if (!found) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
  return Ref(found);
}

}  // namespace

void raise_by_name(const char* name, PyObject* args) {
  Ref cls = exception_by_name(name);
  if (!cls) return;
  PyObject* c = cls.get();
  if (PyExceptionInstance_Check(c)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(c)), c);
    return;
  }
  if (!PyExceptionClass_Check(c)) {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return;
  }
  Ref instance(args ? PyObject_Call(c, args, nullptr) : PyObject_CallNoArgs(c));
  if (!instance) return;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %R", c,
                 reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
}

void raise_by_name_msg(const char* name, const char* message) {
  Ref args(Py_BuildValue("(s)", message));
  if (args) raise_by_name(name, args.get());
}

namespace {

int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                   bool skip_none) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
  Ref owned(value);
  if (!value || (skip_none && value == Py_None)) return 0;
  return PyObject_SetAttrString(module, to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (first_interpreter_id == -1) {
    first_interpreter_id = id;
  } else if (first_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g.module) return Py_NewRef(g.module);
  Ref name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
      copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
      copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
      copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
    return nullptr;
  return module.release();
}

// Against the headers the module was compiled with: their ABI is what must match.
int check_version() {
  int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[200];
  std::snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, "quoril._cquoril", "does not match", major,
                minor);
  return PyErr_WarnEx(nullptr, message, 1);
}

int ready_type(PyObject* module, PyTypeObject* type, const char* name) {
  if (PyType_Ready(type) < 0) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// `from .<sibling> import names...`, with the submodule fallback of import_from.
int import_from_sibling(PyObject* module, const char* sibling, const char* const* names,
                        int count, PyObject** out) {
  Ref fromlist(PyList_New(0));
  if (!fromlist) return -1;
  for (int i = 0; i < count; i++) {
    Ref n(PyUnicode_FromString(names[i]));
    if (!n || PyList_Append(fromlist.get(), n.get()) < 0) return -1;
  }
  Ref sibling_name(PyUnicode_FromString(sibling));
  if (!sibling_name) return -1;
  Ref imported(PyImport_ImportModuleLevelObject(sibling_name.get(), PyModule_GetDict(module),
                                                nullptr, fromlist.get(), 1));
  if (!imported) return -1;
  for (int i = 0; i < count; i++) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(imported.get(), names[i], &value) < 0) return -1;
    if (!value) {
      Ref modname(PyObject_GetAttrString(imported.get(), "__name__"));
      if (!modname) return -1;
      Ref full(PyUnicode_FromFormat("%U.%s", modname.get(), names[i]));
      if (!full) return -1;
      if (PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value) < 0) return -1;
      if (!value) {
        Ref n(PyUnicode_FromString(names[i]));
        PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
        return -1;
      }
    }
    replace_field(&out[i], value);
  }
  return 0;
}

int exec_steps(PyObject* module) {
  if (g.module) {
    if (g.module == module) return 1;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_cquoril' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  g.module = Py_NewRef(module);
  module_declare_no_gil(module);
  if (!g.builtins) g.builtins = PyImport_ImportModule("builtins");
  if (!g.builtins || PyModule_AddObjectRef(module, "__builtins__", g.builtins) < 0) return -1;
  if (check_version() < 0) return -1;
  if (packer_params_init() < 0 || unpacker_params_init() < 0 || unpackb_params_init() < 0)
    return -1;
  if (ready_type(module, &PackerType, "Packer") < 0 ||
      ready_type(module, &UnpackerType, "Unpacker") < 0)
    return -1;
  g.datetime_api = PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
  if (!g.datetime_api) return -1;
  Ref datetime_module(PyImport_ImportModule("datetime"));
  if (!datetime_module || PyModule_AddObjectRef(module, "datetime", datetime_module.get()) < 0)
    return -1;
  Ref timezone(PyObject_GetAttrString(datetime_module.get(), "timezone"));
  if (!timezone) return -1;
  PyObject* utc = PyObject_GetAttrString(timezone.get(), "utc");
  if (!utc) return -1;
  replace_field(&g.utc, utc);
  PyObject* epoch = dt_api()->DateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0, g.utc,
                                                      dt_api()->DateTimeType);
  if (!epoch) return -1;
  replace_field(&g.epoch, epoch);

  static const char* const ext_names[] = {"ExtType", "Timestamp"};
  PyObject* ext_values[std::size(ext_names)] = {};
  if (import_from_sibling(module, "ext", ext_names, std::size(ext_names), ext_values) < 0) {
    Py_XDECREF(ext_values[0]);
    return -1;
  }
  replace_field(&g.ext_type, ext_values[0]);
  replace_field(&g.timestamp_type, ext_values[1]);

  static const char* const exc_names[] = {"BufferFull", "OutOfData", "ExtraData", "FormatError",
                                          "StackError"};
  PyObject* exc_values[std::size(exc_names)] = {};
  int rc = import_from_sibling(module, "exceptions", exc_names, std::size(exc_names), exc_values);
  for (size_t i = 0; i < std::size(exc_names) && rc == 0; i++)
    if (PyModule_AddObjectRef(module, exc_names[i], exc_values[i]) < 0) rc = -1;
  for (PyObject* v : exc_values) Py_XDECREF(v);
  if (rc < 0) return -1;

  if (!g.billion && !(g.billion = PyLong_FromLong(NANOSECONDS_PER_SECOND))) return -1;
  struct {
    PyObject** slot;
    const char* text;
  } names[] = {{&g.str_data, "data"},       {&g.str_code, "code"},
               {&g.str_seconds, "seconds"}, {&g.str_nanoseconds, "nanoseconds"},
               {&g.str_items, "items"},     {&g.str_read, "read"}};
  for (auto& name : names)
    if (!*name.slot && !(*name.slot = PyUnicode_InternFromString(name.text))) return -1;
  if (!g.thread_cache_key &&
      !(g.thread_cache_key = PyUnicode_InternFromString("quoril._cquoril.key_cache")))
    return -1;
  for (PyMethodDef* def : {&default_read_extended_type_def, &unpackb_def}) {
    Ref fn(PyCFunction_NewEx(def, module, nullptr));
    if (!fn || PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0) return -1;
  }
  // Private: the package's one-shot quoril.packb.
  Ref packb(PyCFunction_NewEx(&packb_def, module, nullptr));
  if (!packb || PyModule_AddObjectRef(module, "_packb", packb.get()) < 0) return -1;
  Ref test_dict(PyDict_New());
  if (!test_dict || PyModule_AddObjectRef(module, "__test__", test_dict.get()) < 0) return -1;
  return 0;
}

int module_exec(PyObject* module) {
  int rc = exec_steps(module);
  if (rc == 1) return 0;
  if (rc < 0 && g.module == module) {
    g.module = nullptr;
    Py_DECREF(module);
  }
  return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_cquoril", nullptr, 0, module_methods, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__cquoril() { return PyModuleDef_Init(&module_def); }
