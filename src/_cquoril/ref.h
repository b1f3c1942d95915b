// Owning and borrowed references to Python objects.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// A move-only owner of one strong reference. Construction from a raw pointer
// steals it; borrow() takes a new reference; release() hands it back.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  PyObject* p_ = nullptr;
};

// Replaces an owned field with a new owned reference, releasing the old value
// only after the field is updated (the release may run arbitrary code).
inline void replace_field(PyObject** field, PyObject* owned) noexcept {
  PyObject* old = *field;
  *field = owned;
  Py_XDECREF(old);
}
