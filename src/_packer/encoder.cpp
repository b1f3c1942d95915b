// The object encoder: Python objects into the Packer's buffer.
#include "_cquoril/args.h"
#include "_cquoril/compat.h"
#include "_cquoril/dt.h"
#include "_cquoril/ft.h"
#include "_cquoril/module.h"
#include "_packer/packer.h"

namespace {

constexpr int NOT_HANDLED = -2;

int pack_value_slow(EncodeCall* c, PyObject* obj, int depth_left);
int pack_by_kind(EncodeCall* c, PyObject* obj, bool default_allowed, int depth_left);
int pack_str_general(EncodeCall* c, PyObject* obj);
int pack_bin(EncodeCall* c, PyObject* obj, const char* data, size_t n);
int raise_too_large(const char* message);

int pack_map(EncodeCall* c, PyObject* obj, int depth_left);
int pack_array(EncodeCall* c, PyObject* obj, int depth_left);

// Whether a str is written in place: then nothing in its packing runs code or
// takes a lock, so a container may pack it borrowed, under its own lock.
inline bool is_plain_str(EncodeCall* c, PyObject* obj) {
  return !c->errors && PyUnicode_IS_COMPACT_ASCII(obj);
}

inline int write_plain_str(EncodeCall* c, PyObject* obj) {
  size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
  if (n > SIZE_LIMIT) [[unlikely]] return raise_too_large("unicode string is too large");
  return write_str(c->buf, static_cast<const char*>(PyUnicode_DATA(obj)), n);
}

// ASCII strings, keys above all, are written in place; the rest out of line.
[[gnu::always_inline]] inline int pack_str(EncodeCall* c, PyObject* obj) {
  return is_plain_str(c, obj) ? write_plain_str(c, obj) : pack_str_general(c, obj);
}

inline int write_double(EncodeCall* c, double x) {
  return c->use_single_float ? write_float32(c->buf, x) : write_float64(c->buf, x);
}

// An exact int that fits 64 bits without a call; NOT_HANDLED for the rest.
[[gnu::always_inline]] inline int write_exact_int(EncodeCall* c, PyObject* obj) {
  auto* number = reinterpret_cast<PyLongObject*>(obj);
  if (PyUnstable_Long_IsCompact(number))
    return write_int64(c->buf, PyUnstable_Long_CompactValue(number));
#if QUORIL_CPYTHON_313
  // Two 30-bit digits hold every int below 2**60; reading them directly
  // (3.13's layout) saves a call per element of a large-int array.
  static_assert(PyLong_SHIFT == 30);
  uintptr_t tag = number->long_value.lv_tag;
  if ((tag >> _PyLong_NON_SIZE_BITS) == 2) {
    const digit* d = number->long_value.ob_digit;
    int64_t magnitude = static_cast<int64_t>(d[0] | (static_cast<uint64_t>(d[1]) << 30));
    return write_int64(c->buf, (tag & _PyLong_SIGN_MASK) == 2 ? -magnitude : magnitude);
  }
#else
  // An exact int runs no code and takes no lock here; one past int64 is left
  // to pack_int. (PyLong_AsNativeBytes costs five times as much per int.)
  int overflow;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (!overflow) {
    if (value == -1 && PyErr_Occurred()) return -1;
    return write_int64(c->buf, value);
  }
#endif
  return NOT_HANDLED;
}

// What a value is to the encoder, from its exact type alone. No exact built-in
// type is an ExtType, so settling these ahead of the fixed test order
// (pack_by_kind) changes nothing; RARE is everything else: subclasses, the
// extension types, memoryview, datetime and what goes to `default`.
enum class Kind : uint8_t { STR, FLOAT, INT, NIL, BOOL, DICT, LIST, TUPLE, BYTES, RARE };

// The scalar kinds, which are most of what documents hold and all that a
// container walk may write borrowed; RARE for the rest.
[[gnu::always_inline]] inline Kind scalar_kind(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return Kind::STR;
  if (type == &PyFloat_Type) return Kind::FLOAT;
  if (type == &PyLong_Type) return Kind::INT;
  if (obj == Py_None) return Kind::NIL;
  if (type == &PyBool_Type) return Kind::BOOL;
  return Kind::RARE;
}

[[gnu::always_inline]] inline Kind kind_of(PyObject* obj) {
  Kind kind = scalar_kind(obj);
  if (kind != Kind::RARE) return kind;
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyDict_Type) return Kind::DICT;
  if (type == &PyList_Type) return Kind::LIST;
  if (type == &PyTuple_Type) return Kind::TUPLE;
  if (type == &PyBytes_Type) return Kind::BYTES;
  return Kind::RARE;
}

// An item a container walk found not plain: containers above all.
[[gnu::always_inline]] inline Kind held_kind(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyDict_Type) return Kind::DICT;
  if (type == &PyList_Type) return Kind::LIST;
  return kind_of(obj);
}

// Who asks for a value to be packed. PLAIN: a container walk, under its lock,
// for items whose packing runs no code and takes no lock, written borrowed;
// NOT_HANDLED for any other. VALUE: `_pack`, which goes to `default` for what
// the fixed order does not take. INNER: `_pack_inner` (and `default`'s
// replacement), which goes to `default` only when allowed.
enum class Via { PLAIN, VALUE, INNER };

// The one switch over a value's kind. `depth_left` is the allowance of
// `_pack`, not yet reduced for the value's items.
template <Via V>
[[gnu::always_inline]] inline int pack_kind(EncodeCall* c, PyObject* obj, Kind kind,
                                            int depth_left, bool default_allowed = false) {
  constexpr bool plain = V == Via::PLAIN;
  switch (kind) {
    case Kind::STR:
      if (is_plain_str(c, obj)) [[likely]] return write_plain_str(c, obj);
      if (plain) return NOT_HANDLED;
      return pack_str_general(c, obj);
    case Kind::FLOAT:
      return write_double(c, PyFloat_AS_DOUBLE(obj));
    case Kind::INT: {
      int r = write_exact_int(c, obj);
      if (plain || r != NOT_HANDLED) return r;
      break;  // past 64 bits: an overflow, which may go to `default`
    }
    case Kind::NIL:
      return write_nil(c->buf);
    case Kind::BOOL:
      return obj == Py_True ? write_true(c->buf) : write_false(c->buf);
    case Kind::DICT:
      if (plain) return NOT_HANDLED;
      return pack_map(c, obj, depth_left - 1);
    case Kind::LIST:
      if (plain) return NOT_HANDLED;
      return pack_array(c, obj, depth_left - 1);
    case Kind::TUPLE:
      if (!plain && !c->strict_types) return pack_array(c, obj, depth_left - 1);
      break;
    case Kind::BYTES:
      if (plain) return NOT_HANDLED;
      return pack_bin(c, obj, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    case Kind::RARE:
      break;
  }
  if constexpr (plain) return NOT_HANDLED;
  else if constexpr (V == Via::VALUE) return pack_value_slow(c, obj, depth_left);
  else return pack_by_kind(c, obj, default_allowed, depth_left - 1);
}

// Written borrowed by a container walk, or NOT_HANDLED (see Via::PLAIN).
[[gnu::always_inline]] inline int pack_plain(EncodeCall* c, PyObject* obj) {
  return pack_kind<Via::PLAIN>(c, obj, scalar_kind(obj), 0);
}

// `_pack`: past the allowance, only pack_value_slow's error.
[[gnu::always_inline]] inline int pack_value(EncodeCall* c, PyObject* obj, int depth_left) {
  if (depth_left < 0) [[unlikely]] return pack_value_slow(c, obj, depth_left);
  return pack_kind<Via::VALUE>(c, obj, kind_of(obj), depth_left);
}

// pack_value for an item a walk found not plain.
[[gnu::always_inline]] inline int pack_container(EncodeCall* c, PyObject* obj, int depth_left) {
  if (depth_left < 0) [[unlikely]] return pack_value_slow(c, obj, depth_left);
  return pack_kind<Via::VALUE>(c, obj, held_kind(obj), depth_left);
}

int raise_too_large(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return -1;
}

// An OverflowError while converting an int: route the int to `default`, or
// replace the error by ours with the original as its context.
int int_overflow(bool default_allowed) {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
  if (default_allowed) {
    PyErr_Clear();
    return NOT_HANDLED;
  }
  PyObject* caught = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_OverflowError, "Integer value out of range");
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetContext(raised, caught);
  PyErr_SetRaisedException(raised);
  return -1;
}

int pack_int(EncodeCall* c, PyObject* obj, bool default_allowed) {
  int positive;
  if (PyLong_CheckExact(obj)) {  // past write_exact_int's reach
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
      if (v == -1 && PyErr_Occurred()) return -1;
      return write_int64(c->buf, v);
    }
    positive = overflow > 0;
  } else {
    Ref zero(PyLong_FromLong(0));
    Ref gt(PyObject_RichCompare(obj, zero.get(), Py_GT));
    if (!gt) return int_overflow(default_allowed);
    positive = PyObject_IsTrue(gt.get());
    if (positive < 0) return int_overflow(default_allowed);
  }
  if (positive) {
    unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      return int_overflow(default_allowed);
    return write_uint64(c->buf, u);
  }
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return int_overflow(default_allowed);
  return write_int64(c->buf, v);
}

// A float subclass: an exact float is written by its kind.
int pack_float(EncodeCall* c, PyObject* obj) {
  double x = PyFloat_AsDouble(obj);
  if (x == -1.0 && PyErr_Occurred()) return -1;
  return write_double(c, x);
}

int pack_bin(EncodeCall* c, PyObject* obj, const char* data, size_t n) {
  if (n > SIZE_LIMIT) {
    PyErr_Format(PyExc_ValueError, "%.200s object is too large", Py_TYPE(obj)->tp_name);
    return -1;
  }
  if (write_bin_header(c->buf, n) < 0) return -1;
  return buffer_append(c->buf, data, n);
}

// Out of line, so that the common path below needs no frame for a Ref.
[[gnu::noinline]] int pack_str_with_errors(EncodeCall* c, PyObject* obj) {
  c->slow_entries++;  // the error handler may be Python code
  Ref encoded(PyUnicode_AsEncodedString(obj, nullptr, c->errors));
  if (!encoded) return -1;
  size_t n = PyBytes_GET_SIZE(encoded.get());
  if (n > SIZE_LIMIT) return raise_too_large("unicode string is too large");
  if (write_str_header(c->buf, n) < 0) return -1;
  return buffer_append(c->buf, PyBytes_AS_STRING(encoded.get()), n);
}

[[gnu::noinline]] int pack_str_general(EncodeCall* c, PyObject* obj) {
  if (c->errors) return pack_str_with_errors(c, obj);
  Py_ssize_t n;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!data) return -1;
  if (static_cast<size_t>(n) > SIZE_LIMIT) return raise_too_large("unicode string is too large");
  return write_str(c->buf, data, n);
}

int raise_unpack_count(Py_ssize_t got) {
  if (got > 2)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
  return -1;
}

// Splits one pair as `k, v = item` would. `sized` says whether a sequence of
// the wrong length is refused from its size rather than by iterating it.
int unpack_pair(PyObject* item, bool sized, Ref* key, Ref* value) {
  if (sized && PyTuple_Check(item)) {
    // A tuple's items cannot change while it is held.
    Py_ssize_t n = PyTuple_GET_SIZE(item);
    if (n != 2) return raise_unpack_count(n);
    *key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    *value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return 0;
  }
  if (sized) {
    // Another thread may rebind a list's items: read both under its lock.
    CriticalSection cs(item);
    Py_ssize_t n = PyList_GET_SIZE(item);
    if (n != 2) return raise_unpack_count(n);
    *key = Ref::borrow(PyList_GET_ITEM(item, 0));
    *value = Ref::borrow(PyList_GET_ITEM(item, 1));
    return 0;
  }
  Ref it(PyObject_GetIter(item));
  if (!it) return -1;
  Ref got[2];
  for (int i = 0; i < 2; i++) {
    got[i] = Ref(PyIter_Next(it.get()));
    if (!got[i]) return PyErr_Occurred() ? -1 : raise_unpack_count(i);
  }
  Ref extra(PyIter_Next(it.get()));
  if (extra) return raise_unpack_count(3);
  if (PyErr_Occurred()) return -1;
  *key = std::move(got[0]);
  *value = std::move(got[1]);
  return 0;
}

[[gnu::always_inline]] inline int pack_pair(EncodeCall* c, PyObject* key, PyObject* value, int depth_left) {
  if (pack_value(c, key, depth_left) < 0) return -1;
  return pack_value(c, value, depth_left);
}

int raise_changed_size(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  return -1;
}

// Every array or map header is followed by exactly the items it announced;
// a container that yields more or fewer while it is walked fails the call.
int raise_miscounted(PyObject* container) {
  if (PyDict_Check(container))
    return raise_changed_size("dictionary keys changed during iteration");
  PyErr_Format(PyExc_RuntimeError, "%.200s changed size during iteration",
               Py_TYPE(container)->tp_name);
  return -1;
}

// Exact dicts and lists are walked under their own critical section. Plain
// items (see Via::PLAIN) are written borrowed in the section; any other is
// held and packed outside it, as packing it may run code that changes the
// container or drops the item. A list holds a run of such items at once: on
// the free-threaded build that saves entering the section again after every
// nested container (the lists of array-heavy documents); on the default build
// a section costs nothing and a run is one item.
constexpr Py_ssize_t HELD_RUN = FREE_THREADED ? 16 : 1;

// Strong references taken in a section, released together once packed.
template <Py_ssize_t N>
struct HeldRun {
  PyObject* items[N];
  Py_ssize_t count = 0;
  HeldRun() = default;
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;
  ~HeldRun() {
    if constexpr (N == 1) {
      if (count) Py_DECREF(items[0]);
    } else {
      for (Py_ssize_t i = 0; i < count; i++) Py_DECREF(items[i]);
    }
  }
  bool full() const { return count == N; }
  void hold(PyObject* borrowed) { items[count++] = Py_NewRef(borrowed); }
};

// What pack_plain would write borrowed, near enough to end a held run: an int
// past 64 bits says yes and is held when the next section reaches it.
inline bool looks_plain(EncodeCall* c, PyObject* obj) {
  Kind kind = scalar_kind(obj);
  return kind != Kind::RARE && (kind != Kind::STR || is_plain_str(c, obj));
}

int pack_dict_items(EncodeCall* c, PyObject* dict, Py_ssize_t size, int depth_left) {
  Py_ssize_t pos = 0, started = 0;
  for (;;) {
    PyObject *k, *v;
    Ref key, value;
    {
      CriticalSection cs(dict);
      // Plain steps run no code and the section keeps other threads out, so
      // the dict can only have changed since the section was last entered.
      if (PyDict_GET_SIZE(dict) != size)
        return raise_changed_size("dictionary changed size during iteration");
      for (;;) {
        // Keys replaced under the walk can shift what the positions hold.
        if (!PyDict_Next(dict, &pos, &k, &v)) return started == size ? 0 : raise_miscounted(dict);
        if (started++ == size) return raise_miscounted(dict);
        if (depth_left >= 0 && PyUnicode_CheckExact(k) && is_plain_str(c, k)) {
          if (write_plain_str(c, k) < 0) return -1;
          int r = pack_plain(c, v);
          if (r == NOT_HANDLED) break;  // the key is written, the value is not
          if (r < 0) return -1;
          continue;
        }
        key = Ref::borrow(k);
        break;
      }
      value = Ref::borrow(v);
    }
    if (key && pack_value(c, key.get(), depth_left) < 0) return -1;
    // After a plain key the value is known not to be plain.
    if ((key ? pack_value(c, value.get(), depth_left)
             : pack_container(c, value.get(), depth_left)) < 0)
      return -1;
  }
}

// Walked by index with the size checked once per section, a list yields
// exactly the items its header announced, or fails.
int pack_list_items(EncodeCall* c, PyObject* list, Py_ssize_t size, int depth_left) {
  Py_ssize_t i = 0;
  for (;;) {
    HeldRun<HELD_RUN> held;
    {
      CriticalSection cs(list);
      if (PyList_GET_SIZE(list) != size) return raise_miscounted(list);
      for (;; i++) {
        if (i >= size) return 0;
        int r = depth_left >= 0 ? pack_plain(c, PyList_GET_ITEM(list, i)) : NOT_HANDLED;
        if (r == NOT_HANDLED) break;
        if (r < 0) return -1;
      }
      held.hold(PyList_GET_ITEM(list, i++));
      for (; HELD_RUN > 1 && i < size && !held.full(); i++) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (looks_plain(c, item)) break;
        held.hold(item);
      }
    }
    // None of them is plain.
    if constexpr (HELD_RUN == 1) {
      if (pack_container(c, held.items[0], depth_left) < 0) return -1;
      continue;
    }
    // Once packing one may have run code, which could have replaced the next
    // in the list, the run ends: the next section goes on from there, seeing
    // what that code left, as one item per section would.
    Py_ssize_t first = i - held.count;
    uint64_t slow_before = c->slow_entries;
    for (Py_ssize_t k = 0; k < held.count; k++) {
      if (c->slow_entries != slow_before) {
        i = first + k;
        break;
      }
      if (pack_container(c, held.items[k], depth_left) < 0) return -1;
    }
  }
}

// Packs each of the `announced` items of any other container with `one`:
// exact lists and tuples by index, anything else through iteration, counting
// what is written against what the header said.
template <class PackOne>
int pack_each(PyObject* container, PyObject* items, Py_ssize_t announced, PackOne one) {
  Py_ssize_t written = 0;
  if (PyTuple_CheckExact(items)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); i++) {
      if (written++ == announced) return raise_miscounted(container);
      if (one(PyTuple_GET_ITEM(items, i)) < 0) return -1;
    }
  } else if (PyList_CheckExact(items)) {
    while (Ref item{list_item_ref(items, written)}) {
      if (written++ == announced) return raise_miscounted(container);
      if (one(item.get()) < 0) return -1;
    }
  } else {
    Ref it(PyObject_GetIter(items));
    if (!it) return -1;
    while (Ref item{PyIter_Next(it.get())}) {
      if (written++ == announced) return raise_miscounted(container);
      if (one(item.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
  }
  return written == announced ? 0 : raise_miscounted(container);
}

// The pairs of a map other than an exact dict (`items()` of a mapping, or the
// argument of pack_map_pairs). With `sized_exact`, pairs that are exact tuples
// or lists are split by size; otherwise only tuples are.
int pack_pairs_of(EncodeCall* c, PyObject* container, PyObject* items, Py_ssize_t announced,
                  bool sized_exact, int depth_left) {
  return pack_each(container, items, announced, [&](PyObject* item) {
    bool sized = sized_exact ? (PyTuple_CheckExact(item) || PyList_CheckExact(item))
                             : PyTuple_Check(item);
    Ref key, value;
    if (unpack_pair(item, sized, &key, &value) < 0) return -1;
    return pack_pair(c, key.get(), value.get(), depth_left);
  });
}

int pack_map(EncodeCall* c, PyObject* obj, int depth_left) {
  Py_ssize_t n = PyDict_CheckExact(obj) ? PyDict_GET_SIZE(obj) : PyObject_Size(obj);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > SIZE_LIMIT) return raise_too_large("dict is too large");
  if (write_map_header(c->buf, static_cast<uint32_t>(n)) < 0) return -1;
  if (PyDict_CheckExact(obj)) return pack_dict_items(c, obj, n, depth_left);
  Ref items(PyObject_CallMethodNoArgs(obj, g.str_items));
  if (!items) return -1;
  return pack_pairs_of(c, obj, items.get(), n, false, depth_left);
}

int pack_array(EncodeCall* c, PyObject* obj, int depth_left) {
  // Another thread may be resizing a list: read its size as a shared word.
  Py_ssize_t n = PyList_Check(obj) ? PyList_GET_SIZE(obj) : Py_SIZE(obj);
  if (static_cast<size_t>(n) > SIZE_LIMIT) return raise_too_large("list is too large");
  if (write_array_header(c->buf, static_cast<uint32_t>(n)) < 0) return -1;
  if (PyList_CheckExact(obj)) return pack_list_items(c, obj, n, depth_left);
  // Subclasses are walked through their own __iter__, which may disagree with
  // the size the header took.
  return pack_each(obj, obj, n, [&](PyObject* item) { return pack_value(c, item, depth_left); });
}

int pack_ext(EncodeCall* c, PyObject* obj) {
  Ref data(PyObject_GetAttr(obj, g.str_data));
  if (!data) return -1;
  const char* bytes;
  Py_ssize_t n;
  if (convert_byte_string(data.get(), &bytes, &n) < 0) return -1;
  Py_ssize_t declared = PyObject_Size(data.get());
  if (declared < 0) return -1;
  if (static_cast<size_t>(declared) > SIZE_LIMIT) return raise_too_large("EXT data is too large");
  Ref code_obj(PyObject_GetAttr(obj, g.str_code));
  if (!code_obj) return -1;
  long long code;
  if (convert_long(code_obj.get(), &code) < 0) return -1;
  return write_ext_item(c->buf, static_cast<int8_t>(code & 0xff), data.get());
}

int pack_timestamp(EncodeCall* c, PyObject* obj) {
  Ref seconds_obj(PyObject_GetAttr(obj, g.str_seconds));
  if (!seconds_obj) return -1;
  long long seconds;
  if (convert_long(seconds_obj.get(), &seconds) < 0) return -1;
  Ref nanos_obj(PyObject_GetAttr(obj, g.str_nanoseconds));
  if (!nanos_obj) return -1;
  unsigned long long nanoseconds;
  if (convert_unsigned(nanos_obj.get(), "unsigned long", &nanoseconds) < 0) return -1;
  return write_timestamp(c->buf, seconds, static_cast<uint32_t>(nanoseconds));
}

int pack_memoryview(EncodeCall* c, PyObject* obj) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return -1;
  int rc;
  if (static_cast<size_t>(view.len) > SIZE_LIMIT) {
    PyBuffer_Release(&view);
    return raise_too_large("memoryview is too large");
  }
  rc = write_bin_header(c->buf, view.len);
  if (rc == 0) rc = buffer_append(c->buf, static_cast<const char*>(view.buf), view.len);
  PyBuffer_Release(&view);
  return rc;
}

int pack_datetime(EncodeCall* c, PyObject* obj) {
  Ref delta(PyNumber_Subtract(obj, g.epoch));
  if (!delta) return -1;
  if (Py_TYPE(delta.get()) != dt_api()->DeltaType) {
    PyErr_SetString(PyExc_ValueError, "failed to calculate delta");
    return -1;
  }
  int64_t seconds = static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(delta.get())) * SECONDS_PER_DAY +
                    PyDateTime_DELTA_GET_SECONDS(delta.get());
  uint32_t nanoseconds = PyDateTime_DELTA_GET_MICROSECONDS(delta.get()) * NANOSECONDS_PER_MICROSECOND;
  return write_timestamp(c->buf, seconds, nanoseconds);
}

bool is_aware_datetime(EncodeCall* c, PyObject* obj) {
  return c->datetime && Py_TYPE(obj) == dt_api()->DateTimeType &&
         PyDateTime_DATE_GET_TZINFO(obj) != Py_None;
}

int unsupported(EncodeCall* c, PyObject* obj, bool default_allowed) {
  if (default_allowed) return NOT_HANDLED;
  if (c->datetime && Py_TYPE(obj) == dt_api()->DateTimeType) {
    PyErr_Format(PyExc_ValueError, "can not serialize '%.200s' object where tzinfo=None",
                 Py_TYPE(obj)->tp_name);
    return -1;
  }
  PyErr_Format(PyExc_TypeError, "can not serialize '%.200s' object", Py_TYPE(obj)->tp_name);
  return -1;
}

// `_pack_inner`'s type tests in their fixed order, for everything a value's
// kind did not settle.
int pack_by_kind(EncodeCall* c, PyObject* obj, bool default_allowed, int depth_left) {
  PyTypeObject* type = Py_TYPE(obj);
  bool strict = c->strict_types;
  if (obj == Py_None) return write_nil(c->buf);
  if (obj == Py_True) return write_true(c->buf);
  if (obj == Py_False) return write_false(c->buf);
  if (strict ? type == &PyLong_Type : PyLong_Check(obj)) return pack_int(c, obj, default_allowed);
  if (strict ? type == &PyFloat_Type : PyFloat_Check(obj)) return pack_float(c, obj);
  if (strict ? type == &PyBytes_Type : PyBytes_Check(obj))
    return pack_bin(c, obj, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
  if (strict ? type == &PyByteArray_Type : PyByteArray_Check(obj))
    return pack_bin(c, obj, PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
  if (strict ? type == &PyUnicode_Type : PyUnicode_Check(obj)) return pack_str(c, obj);
  if (strict ? type == &PyDict_Type : PyDict_Check(obj)) return pack_map(c, obj, depth_left);
  int is_ext = strict ? reinterpret_cast<PyObject*>(type) == g.ext_type
                      : PyObject_IsInstance(obj, g.ext_type);
  if (is_ext < 0) return -1;
  if (is_ext) return pack_ext(c, obj);
  if (reinterpret_cast<PyObject*>(type) == g.timestamp_type) return pack_timestamp(c, obj);
  if (strict ? type == &PyList_Type : (PyList_Check(obj) || PyTuple_Check(obj)))
    return pack_array(c, obj, depth_left);
  if (type == &PyMemoryView_Type) return pack_memoryview(c, obj);
  if (is_aware_datetime(c, obj)) return pack_datetime(c, obj);
  return unsupported(c, obj, default_allowed);
}

}  // namespace

int write_ext_item(pack_buffer* b, int8_t code, PyObject* data) {
  // Taken after every conversion that may run code, so that the header gives
  // the length of the bytes that follow it, not what __len__ once said.
  const char* bytes;
  Py_ssize_t n;
  if (convert_byte_string(data, &bytes, &n) < 0) return -1;
  if (static_cast<size_t>(n) > SIZE_LIMIT) return raise_too_large("EXT data is too large");
  if (write_ext_header(b, code, static_cast<size_t>(n)) < 0) return -1;
  return buffer_append(b, bytes, n);
}

void encode_call_begin(EncodeCall* call, PackerObject* self) {
  call->buf = &self->buffer;
  call->default_ = self->default_ == Py_None ? Ref() : Ref::borrow(self->default_);
  call->unicode_errors = Ref::borrow(self->unicode_errors);
  call->errors = self->errors_cstr;
  call->strict_types = self->strict_types;
  call->use_single_float = self->use_single_float;
  call->datetime = self->datetime;
}

int pack_object(EncodeCall* c, PyObject* obj, int depth_left) {
  return pack_value(c, obj, depth_left);
}

namespace {

[[gnu::noinline]] int pack_value_slow(EncodeCall* c, PyObject* obj, int depth_left) {
  c->slow_entries++;
  if (depth_left < 0) {
    PyErr_SetString(PyExc_ValueError, "recursion limit exceeded.");
    return -1;
  }
  // What reaches here is no kind the switch settles.
  if (!c->default_) return pack_by_kind(c, obj, false, depth_left - 1);
  int r = pack_by_kind(c, obj, true, depth_left - 1);
  if (r != NOT_HANDLED) return r;
  Ref replacement(PyObject_CallOneArg(c->default_.get(), obj));
  if (!replacement) return -1;
  // Packed with the same allowance as the object it replaces.
  return pack_kind<Via::INNER>(c, replacement.get(), kind_of(replacement.get()), depth_left);
}

}  // namespace

int pack_pairs(EncodeCall* c, PyObject* pairs, Py_ssize_t announced) {
  return pack_pairs_of(c, pairs, pairs, announced, true, DEFAULT_NEST_LIMIT);
}

int _pack_inner(PackerObject* self, PyObject* obj, bool default_allowed, int depth_left) {
  EncodeCall call;
  encode_call_begin(&call, self);
  // The allowance is already reduced: the switch takes it as `_pack` gave it.
  return pack_kind<Via::INNER>(&call, obj, kind_of(obj), depth_left + 1, default_allowed);
}

int _pack(PackerObject* self, PyObject* obj, int depth_left) {
  EncodeCall call;
  encode_call_begin(&call, self);
  return pack_object(&call, obj, depth_left);
}
