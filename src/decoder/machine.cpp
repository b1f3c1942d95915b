// The resumable, non-recursive MessagePack state machine.
#include <cstring>
#include <limits>
#include <utility>

#include "_cquoril/big_endian.h"
#include "decoder/ctx.h"
#include "decoder/values.h"

namespace {

// What a first byte asks for.
enum HeaderKind : uint8_t {
  H_POSFIX, H_NEGFIX, H_FIXMAP, H_FIXARRAY, H_EMPTY_STR, H_NIL, H_FALSE, H_TRUE,
  H_NEVER_USED, H_SEGMENT,
  H_NUMBER,  // a segment too, read in place when the input holds it whole
};

// The resume states: what the bytes at the read position are. A header's
// state is the low five bits of its first byte (bin 8, 0xc4, is 4), which
// keeps the segment switch one dense jump table; bodies come above them.
enum State : uint8_t {
  S_HEADER = 0,
  S_BIN8_LEN = 4, S_BIN16_LEN = 5, S_BIN32_LEN = 6,
  S_EXT8_LEN = 7, S_EXT16_LEN = 8, S_EXT32_LEN = 9,
  S_FLOAT32 = 10, S_FLOAT64 = 11,
  S_UINT8 = 12, S_UINT16 = 13, S_UINT32 = 14, S_UINT64 = 15,
  S_INT8 = 16, S_INT16 = 17, S_INT32 = 18, S_INT64 = 19,
  S_STR8_LEN = 25, S_STR16_LEN = 26, S_STR32_LEN = 27,
  S_ARRAY16_LEN = 28, S_ARRAY32_LEN = 29, S_MAP16_LEN = 30, S_MAP32_LEN = 31,
  S_STR_BODY = 32, S_BIN_BODY = STATE_BIN_PAYLOAD, S_EXT_BODY = 34,
};
static_assert(STATE_DELIVER_NOTHING > S_EXT_BODY);

struct HeaderAction {
  HeaderKind kind;
  uint8_t state;
  uint8_t segment_len;  // the bytes read next: a length, a number, or a fixext's type and data
};

// 0xc0 to 0xdf, in the order of the format's table of first bytes.
constexpr HeaderAction ROW_C0[32] = {
    {H_NIL, S_HEADER, 0},            // c0 nil
    {H_NEVER_USED, S_HEADER, 0},     // c1 (never used)
    {H_FALSE, S_HEADER, 0},          // c2 false
    {H_TRUE, S_HEADER, 0},           // c3 true
    {H_SEGMENT, S_BIN8_LEN, 1},      // c4 bin 8
    {H_SEGMENT, S_BIN16_LEN, 2},     // c5 bin 16
    {H_SEGMENT, S_BIN32_LEN, 4},     // c6 bin 32
    {H_SEGMENT, S_EXT8_LEN, 1},      // c7 ext 8
    {H_SEGMENT, S_EXT16_LEN, 2},     // c8 ext 16
    {H_SEGMENT, S_EXT32_LEN, 4},     // c9 ext 32
    {H_NUMBER, S_FLOAT32, 4},        // ca float 32
    {H_NUMBER, S_FLOAT64, 8},        // cb float 64
    {H_NUMBER, S_UINT8, 1},          // cc uint 8
    {H_NUMBER, S_UINT16, 2},         // cd uint 16
    {H_NUMBER, S_UINT32, 4},         // ce uint 32
    {H_NUMBER, S_UINT64, 8},         // cf uint 64
    {H_NUMBER, S_INT8, 1},           // d0 int 8
    {H_NUMBER, S_INT16, 2},          // d1 int 16
    {H_NUMBER, S_INT32, 4},          // d2 int 32
    {H_NUMBER, S_INT64, 8},          // d3 int 64
    {H_SEGMENT, S_EXT_BODY, 1 + 1},  // d4 fixext 1
    {H_SEGMENT, S_EXT_BODY, 1 + 2},  // d5 fixext 2
    {H_SEGMENT, S_EXT_BODY, 1 + 4},  // d6 fixext 4
    {H_SEGMENT, S_EXT_BODY, 1 + 8},  // d7 fixext 8
    {H_SEGMENT, S_EXT_BODY, 1 + 16}, // d8 fixext 16
    {H_SEGMENT, S_STR8_LEN, 1},      // d9 str 8
    {H_SEGMENT, S_STR16_LEN, 2},     // da str 16
    {H_SEGMENT, S_STR32_LEN, 4},     // db str 32
    {H_SEGMENT, S_ARRAY16_LEN, 2},   // dc array 16
    {H_SEGMENT, S_ARRAY32_LEN, 4},   // dd array 32
    {H_SEGMENT, S_MAP16_LEN, 2},     // de map 16
    {H_SEGMENT, S_MAP32_LEN, 4},     // df map 32
};

constexpr HeaderAction header_for(unsigned b) {
  if (b <= 0x7f) return {H_POSFIX, S_HEADER, 0};
  if (b <= 0x8f) return {H_FIXMAP, S_HEADER, 0};
  if (b <= 0x9f) return {H_FIXARRAY, S_HEADER, 0};
  if (b == 0xa0) return {H_EMPTY_STR, S_HEADER, 0};
  if (b <= 0xbf) return {H_SEGMENT, S_STR_BODY, static_cast<uint8_t>(b & 0x1f)};  // fixstr
  if (b <= 0xdf) return ROW_C0[b - 0xc0];
  return {H_NEGFIX, S_HEADER, 0};
}

struct HeaderTable {
  HeaderAction at[256];
  constexpr HeaderTable() : at() {
    for (unsigned b = 0; b < 256; b++) at[b] = header_for(b);
  }
};
constexpr HeaderTable headers;

// Whether the value now being read is a map key (its str may come from the cache).
inline bool reading_key(const stack_entry* stack, uint32_t depth) {
  return depth && stack[depth - 1].container_type == EXPECT_KEY;
}

PyObject* make_number(uint32_t state, const unsigned char* seg, uint64_t width) {
  uint64_t raw = load_be(seg, width);
  switch (state) {
    case S_FLOAT32: {
      double x = PyFloat_Unpack4(reinterpret_cast<const char*>(seg), 0);
      return make_float(x);
    }
    case S_FLOAT64: {
      // IEEE doubles here: the bits need no conversion, only their byte order.
      static_assert(std::numeric_limits<double>::is_iec559);
      double x;
      std::memcpy(&x, &raw, sizeof x);
      return make_float(x);
    }
    case S_UINT8: case S_UINT16: return PyLong_FromLong(static_cast<long>(raw));
    case S_UINT32: return PyLong_FromSize_t(static_cast<size_t>(raw));
    case S_UINT64: return PyLong_FromUnsignedLongLong(raw);
    case S_INT8: return PyLong_FromLong(static_cast<int8_t>(raw));
    case S_INT16: return PyLong_FromLong(static_cast<int16_t>(raw));
    case S_INT32: return PyLong_FromLong(static_cast<int32_t>(raw));
    default: return PyLong_FromLongLong(static_cast<int64_t>(raw));
  }
}

void discard_built(decoder_ctx* ctx, uint32_t depth) {
  for (uint32_t i = 0; i < depth; i++) {
    Py_CLEAR(ctx->stack[i].container);
    Py_CLEAR(ctx->stack[i].pending_key);
    ctx->stack[i].presized = 0;
  }
  ctx->presized_open = 0;
  ctx->discarding = true;
}

constexpr uint64_t UNCOUNTED_PRESIZE = 16;

// The payload the Unpacker filled, completed by its last byte.
PyObject* finish_payload(decoder_ctx* ctx, unsigned char last) {
  PyObject* bytes = std::exchange(ctx->payload, nullptr);
  PyBytes_AS_STRING(bytes)[PyBytes_GET_SIZE(bytes) - 1] = static_cast<char>(last);
  return bytes;
}

template <bool construct>
int run(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off) {
  const unsigned char* const start = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* p = start + *off;
  const unsigned char* const e = start + len;
  if (p >= e) return DECODE_NEED_MORE;
  uint32_t state = ctx->state;
  uint64_t segment_len = ctx->segment_len;
  uint32_t depth = ctx->depth;
  PyObject* value = nullptr;  // owned: the value being delivered
  uint64_t count = 0;         // the count of a container being started
  bool is_map = false;
  int code = DECODE_ERROR;
  // Held in a register: hooks called below could otherwise make every access reload it.
  stack_entry* stack = ctx->stack;

  if (state == STATE_DELIVER_NOTHING) {
    // Left by a construct-mode failure for the driver to finish in skip mode.
    if (construct) {
      PyErr_SetString(PyExc_RuntimeError, "a failed item must be skipped before the next");
      return DECODE_ERROR;
    }
    state = S_HEADER;
    goto deliver;
  }
  if (state != S_HEADER) goto segment;

header : {
  unsigned b = *p;
  const HeaderAction& action = headers.at[b];
  switch (action.kind) {
    case H_POSFIX:
      if (construct && !(value = PyLong_FromLong(b))) goto fail;
      goto deliver;
    case H_NEGFIX:
      if (construct && !(value = PyLong_FromLong(static_cast<long>(b) - 256))) goto fail;
      goto deliver;
    case H_FIXMAP:
      count = b & 0x0f;
      is_map = true;
      goto container;
    case H_FIXARRAY:
      count = b & 0x0f;
      is_map = false;
      goto container;
    case H_EMPTY_STR:
      if (construct && !(value = make_str(ctx, "", 0, reading_key(stack, depth)))) goto fail;
      goto deliver;
    case H_NIL:
      if (construct) value = Py_NewRef(Py_None);
      goto deliver;
    case H_FALSE:
      if (construct) value = Py_NewRef(Py_False);
      goto deliver;
    case H_TRUE:
      if (construct) value = Py_NewRef(Py_True);
      goto deliver;
    case H_NEVER_USED:
      code = DECODE_MALFORMED;
      goto fail_sticky;
    case H_NUMBER:
      // Numbers fill array-heavy documents: one whole in the input skips the
      // segment's bookkeeping.
      if (static_cast<uint64_t>(e - p) > action.segment_len) [[likely]] {
        if (construct && !(value = make_number(action.state, p + 1, action.segment_len))) goto fail;
        p += action.segment_len;
        goto deliver;
      }
      [[fallthrough]];
    case H_SEGMENT:
      state = action.state;
      segment_len = action.segment_len;
      p++;
      goto segment;
  }
}

segment : {
  if (static_cast<uint64_t>(e - p) < segment_len) {
    ctx->state = state;
    ctx->segment_len = segment_len;
    ctx->depth = depth;
    *off = p - start;
    return DECODE_NEED_MORE;
  }
  const unsigned char* seg = p;
  p += segment_len - 1;
  switch (state) {
    case S_BIN8_LEN: case S_BIN16_LEN: case S_BIN32_LEN:
    case S_STR8_LEN: case S_STR16_LEN: case S_STR32_LEN: {
      uint64_t n = load_be(seg, segment_len);
      bool is_bin = state <= S_BIN32_LEN;
      if (n == 0) {
        if (construct) {
          value = is_bin ? make_bin(ctx, "", 0) : make_str(ctx, "", 0, reading_key(stack, depth));
          if (!value) goto fail;
        }
        goto deliver;
      }
      state = is_bin ? S_BIN_BODY : S_STR_BODY;
      segment_len = n;
      p++;
      goto segment;
    }
    case S_EXT8_LEN: case S_EXT16_LEN: case S_EXT32_LEN:
      segment_len = load_be(seg, segment_len) + 1;  // the type byte, then the data
      state = S_EXT_BODY;
      p++;
      goto segment;
    case S_FLOAT32: case S_FLOAT64:
    case S_UINT8: case S_UINT16: case S_UINT32: case S_UINT64:
    case S_INT8: case S_INT16: case S_INT32: case S_INT64:
      if (construct && !(value = make_number(state, seg, segment_len))) goto fail;
      goto deliver;
    case S_ARRAY16_LEN: case S_ARRAY32_LEN: case S_MAP16_LEN: case S_MAP32_LEN:
      count = load_be(seg, segment_len);
      is_map = state >= S_MAP16_LEN;
      goto container;
    case S_STR_BODY:
      if (construct &&
          !(value = make_str(ctx, reinterpret_cast<const char*>(seg), segment_len,
                             reading_key(stack, depth))))
        goto fail;
      goto deliver;
    case S_BIN_BODY:
      if (construct) {
        value = ctx->payload ? finish_payload(ctx, *seg)
                             : make_bin(ctx, reinterpret_cast<const char*>(seg), segment_len);
        if (!value) goto fail;
      }
      goto deliver;
    case S_EXT_BODY:
      if (construct && !(value = make_ext(ctx, reinterpret_cast<const char*>(seg), segment_len)))
        goto fail;
      goto deliver;
    default:
      PyErr_Format(PyExc_RuntimeError, "Invalid state: %d", static_cast<int>(state));
      goto fail;
  }
}

container : {
  if (depth == STACK_DEPTH) {
    code = DECODE_TOO_DEEP;
    goto fail_sticky;
  }
  if (depth == ctx->stack_capacity) {
    if (grow_stack(ctx) < 0) goto fail_sticky;
    stack = ctx->stack;
  }
  PyObject* made = nullptr;
  uint64_t presized = 0;
  if (construct) {
    // What follows the header bounds how many items can really come.
    auto in_hand = static_cast<uint64_t>(e - p - 1);
    // Small containers are left out of the account: however deep, they
    // cannot reserve much.
    bool counted = count > UNCOUNTED_PRESIZE;
    uint64_t room = !counted ? in_hand
                  : in_hand > ctx->presized_open ? in_hand - ctx->presized_open : 0;
    made = is_map ? begin_map(ctx, count, room) : begin_array(ctx, count, room);
    if (!made) goto fail_container;
    if (counted) [[unlikely]] {
      uint64_t items_in_room = is_map ? room / 2 : room;
      presized = count < items_in_room ? count : items_in_room;
    }
  }
  if (count == 0) {
    if (construct && !(value = is_map ? end_map(ctx, made) : end_array(ctx, made))) goto fail;
    goto deliver;
  }
  stack_entry& entry = stack[depth++];
  entry.container = made;
  entry.size = count;
  entry.count = 0;
  entry.container_type = is_map ? EXPECT_KEY : EXPECT_ITEM;
  entry.pending_key = nullptr;
  entry.presized = presized;
  if (presized) [[unlikely]] ctx->presized_open += presized;
  goto next;
}

deliver:
  for (;;) {
    if (depth == 0) {
      ctx->result = construct ? value : Py_NewRef(Py_None);
      ctx->depth = 0;
      *off = p + 1 - start;
      return DECODE_COMPLETE;
    }
    stack_entry& entry = stack[depth - 1];
    switch (entry.container_type) {
      case EXPECT_ITEM:
        if (construct) {
          PyObject* item = value;
          value = nullptr;
          if (set_array_item(entry.container, entry.count, item) < 0) goto fail;
        }
        if (++entry.count < entry.size) goto next;
        value = entry.container;
        entry.container = nullptr;
        if (entry.presized) [[unlikely]] ctx->presized_open -= entry.presized;
        depth--;
        if (construct && !(value = end_array(ctx, value))) goto fail;
        continue;
      case EXPECT_KEY:
        entry.pending_key = value;
        value = nullptr;
        entry.container_type = EXPECT_VALUE;
        goto next;
      case EXPECT_VALUE: {
        PyObject* key = entry.pending_key;
        entry.pending_key = nullptr;
        if (construct) {
          PyObject* v = value;
          value = nullptr;
          if (set_map_item(ctx, entry.container, entry.count, key, v) < 0) goto fail;
        }
        if (++entry.count < entry.size) {
          entry.container_type = EXPECT_KEY;
          goto next;
        }
        value = entry.container;
        entry.container = nullptr;
        if (entry.presized) [[unlikely]] ctx->presized_open -= entry.presized;
        depth--;
        if (construct && !(value = end_map(ctx, value))) goto fail;
        continue;
      }
      default:
        PyErr_Format(PyExc_RuntimeError, "Invalid container type: %u",
                     static_cast<unsigned>(entry.container_type));
        goto fail;
    }
  }

next:
  p++;
  state = S_HEADER;
  if (p == e) {
    ctx->state = S_HEADER;
    ctx->segment_len = segment_len;
    ctx->depth = depth;
    *off = len;
    return DECODE_NEED_MORE;
  }
  goto header;

// The item ending at p is consumed but built nothing. In construct mode what
// was built of the enclosing items is dropped and the rest of them is left to
// be skipped, so that no value is ever read from the middle of a failed one.
fail:
  Py_XDECREF(value);
  if (construct) {
    discard_built(ctx, depth);
    state = STATE_DELIVER_NOTHING;
  }
  ctx->state = state;
  ctx->segment_len = segment_len;
  ctx->depth = depth;
  *off = p - start;
  return code;

// A container header consumed whose container could not be made: its items
// are skipped as if it had been.
fail_container:
  if (count == 0) goto fail;
  {
    stack_entry& entry = ctx->stack[depth++];
    entry = {nullptr, count, 0, is_map ? EXPECT_KEY : EXPECT_ITEM, nullptr, 0};
  }
  discard_built(ctx, depth);
  ctx->state = S_HEADER;
  ctx->segment_len = 0;
  ctx->depth = depth;
  *off = p + 1 - start;
  return DECODE_ERROR;

// Nothing at p is consumed: the next run meets the same byte, and the same error.
fail_sticky:
  if (state != S_HEADER) {
    p -= segment_len - 1;  // back to the start of the header's length bytes
  }
  ctx->state = state;
  ctx->segment_len = segment_len;
  ctx->depth = depth;
  *off = p - start;
  return code;
}

// A container's header alone: its fix kind, or the 16- and 32-bit forms whose
// states are `len16` and `len16 + 1`.
int read_header(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off,
                HeaderKind fix_kind, State len16) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data) + *off;
  Py_ssize_t avail = len - *off;
  unsigned b = p[0];
  const HeaderAction& action = headers.at[b];
  uint64_t n;
  Py_ssize_t size;
  if (action.kind == fix_kind) {
    n = b & 0x0f;
    size = 1;
  } else if (action.kind == H_SEGMENT && (action.state == len16 || action.state == len16 + 1)) {
    size = 1 + action.segment_len;
    if (avail < size) return DECODE_NEED_MORE;
    n = load_be(p + 1, action.segment_len);
  } else {
    PyErr_SetString(PyExc_ValueError, "Unexpected type header on stream");
    return DECODE_ERROR;
  }
  PyObject* count = PyLong_FromUnsignedLongLong(n);
  if (!count) return DECODE_ERROR;
  ctx->result = count;
  *off += size;
  return DECODE_COMPLETE;
}

}  // namespace

int run_decoder(bool construct, decoder_ctx* ctx, const char* data, Py_ssize_t len,
                Py_ssize_t* off) {
  return construct ? run<true>(ctx, data, len, off) : run<false>(ctx, data, len, off);
}

int decode_construct(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off) {
  return run<true>(ctx, data, len, off);
}

int decode_skip(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off) {
  return run<false>(ctx, data, len, off);
}

int decode_array_header(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off) {
  return read_header(ctx, data, len, off, H_FIXARRAY, S_ARRAY16_LEN);
}

int decode_map_header(decoder_ctx* ctx, const char* data, Py_ssize_t len, Py_ssize_t* off) {
  return read_header(ctx, data, len, off, H_FIXMAP, S_MAP16_LEN);
}
