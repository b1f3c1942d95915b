// The out-of-line parts of value construction.
#include "decoder/values.h"

#include "_cquoril/big_endian.h"
#include "_cquoril/dt.h"
#include "_cquoril/module.h"

#include <cstring>

namespace {

// The three forms of the timestamp extension: seconds in 32 bits;
// nanoseconds in 30 bits above seconds in 34; nanoseconds, then 64-bit seconds.
constexpr uint64_t TIMESTAMP32_LEN = 4;
constexpr uint64_t TIMESTAMP64_LEN = 8;
constexpr uint64_t TIMESTAMP96_LEN = 12;
constexpr int TIMESTAMP64_SECONDS_BITS = 34;

PyObject* timestamp_as_datetime(int64_t seconds, uint32_t nanoseconds) {
  long long days = seconds / SECONDS_PER_DAY;
  if (days > INT32_MAX || days < INT32_MIN) {
    PyErr_Format(PyExc_OverflowError, "days=%lld; too large to convert to C int", days);
    return nullptr;
  }
  PyDateTime_CAPI* api = dt_api();
  Ref offset(api->Delta_FromDelta(static_cast<int>(days),
                                  static_cast<int>(seconds - days * SECONDS_PER_DAY),
                                  static_cast<int>(nanoseconds / NANOSECONDS_PER_MICROSECOND), 1,
                                  api->DeltaType));
  if (!offset) return nullptr;
  return PyNumber_Add(g.epoch, offset.get());
}

PyObject* make_timestamp(decoder_ctx* ctx, const unsigned char* data, uint64_t len) {
  int64_t seconds;
  uint32_t nanoseconds = 0;
  if (len == TIMESTAMP32_LEN) {
    seconds = load_be32(data);
  } else if (len == TIMESTAMP64_LEN) {
    uint64_t word = load_be64(data);
    nanoseconds = static_cast<uint32_t>(word >> TIMESTAMP64_SECONDS_BITS);
    seconds = static_cast<int64_t>(word & ((1ULL << TIMESTAMP64_SECONDS_BITS) - 1));
  } else if (len == TIMESTAMP96_LEN) {
    nanoseconds = load_be32(data);
    seconds = static_cast<int64_t>(load_be64(data + 4));
  } else {
    PyErr_Format(PyExc_ValueError, "invalid timestamp data (length %u)", static_cast<unsigned>(len));
    return nullptr;
  }
  if (nanoseconds >= NANOSECONDS_PER_SECOND) {
    PyErr_SetString(PyExc_ValueError,
                    "nanoseconds must be a non-negative integer not greater than 999999999.");
    return nullptr;
  }
  switch (ctx->timestamp) {
    case TIMESTAMP_AS_OBJECT:
      return PyObject_CallFunction(ctx->timestamp_type, "(Lk)", static_cast<long long>(seconds),
                                   static_cast<unsigned long>(nanoseconds));
    case TIMESTAMP_AS_FLOAT: {
      Ref nanos(PyFloat_FromDouble(nanoseconds));
      if (!nanos) return nullptr;
      Ref fraction(PyNumber_TrueDivide(nanos.get(), ctx->billion));
      if (!fraction) return nullptr;
      Ref secs(PyLong_FromLongLong(seconds));
      if (!secs) return nullptr;
      return PyNumber_Add(fraction.get(), secs.get());
    }
    case TIMESTAMP_AS_NANOSECONDS: {
      Ref secs(PyLong_FromLongLong(seconds));
      if (!secs) return nullptr;
      Ref scaled(PyNumber_Multiply(secs.get(), ctx->billion));
      if (!scaled) return nullptr;
      Ref nanos(PyLong_FromUnsignedLong(nanoseconds));
      if (!nanos) return nullptr;
      return PyNumber_Add(scaled.get(), nanos.get());
    }
    default:  // TIMESTAMP_AS_DATETIME
      return timestamp_as_datetime(seconds, nanoseconds);
  }
}

}  // namespace

PyObject* make_ext(decoder_ctx* ctx, const char* body, uint64_t body_len) {
  if (!ctx->ext_hook) {
    PyErr_SetString(PyExc_AssertionError, "u->ext_hook cannot be NULL");
    return nullptr;
  }
  uint64_t len = body_len - 1;
  if (ctx->max_ext_len < 0 || len > static_cast<uint64_t>(ctx->max_ext_len)) {
    PyErr_Format(PyExc_ValueError, "%u exceeds max_ext_len(%zd)", static_cast<unsigned>(body_len),
                 ctx->max_ext_len);
    return nullptr;
  }
  int type = static_cast<int8_t>(body[0]);
  if (type != -1)
    return PyObject_CallFunction(ctx->ext_hook, "(iy#)", type, body + 1,
                                 static_cast<Py_ssize_t>(len));
  return make_timestamp(ctx, reinterpret_cast<const unsigned char*>(body) + 1, len);
}

int refuse_map_key(PyObject* key) {
  PyErr_Format(PyExc_ValueError, "%.100s is not allowed for map key when strict_map_key=True",
               Py_TYPE(key)->tp_name);
  return -1;
}
