// Growth of the output block and the hand-over of a one-shot result.
#include "_cquoril/compat.h"
#include "_packer/buffer.h"

int buffer_grow(pack_buffer* b, size_t required) {
  size_t capacity = required * 2;
  if (capacity < required || capacity > static_cast<size_t>(PY_SSIZE_T_MAX)) return -1;
  if (b->in_scratch) {
    b->bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!b->bytes) return -1;
    std::memcpy(PyBytes_AS_STRING(b->bytes), b->buf, b->length);
    b->in_scratch = false;
    b->buf = PyBytes_AS_STRING(b->bytes);
    b->capacity = capacity;
    return 0;
  }
  if (b->bytes) {
    if (bytes_resize(&b->bytes, static_cast<Py_ssize_t>(capacity)) < 0) return -1;
    b->buf = PyBytes_AS_STRING(b->bytes);
    b->capacity = capacity;
    return 0;
  }
  char* grown = static_cast<char*>(PyMem_Realloc(b->buf, capacity));
  if (!grown) return -1;
  b->buf = grown;
  b->capacity = capacity;
  return 0;
}

PyObject* buffer_take_result(pack_buffer* b) {
  auto length = static_cast<Py_ssize_t>(b->length);
  if (!b->bytes) return PyBytes_FromStringAndSize(b->buf, length);
  if (bytes_resize(&b->bytes, length) < 0) return nullptr;
  return std::exchange(b->bytes, nullptr);
}
