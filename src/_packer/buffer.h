// The Packer's growable output block and the MessagePack wire encoders.
#pragma once
#include "_cquoril/big_endian.h"
#include "_cquoril/ref.h"

#include <cstdint>
#include <cstring>

struct pack_buffer {
  char* buf;
  size_t length;
  size_t capacity;
  bool use_bin_type;
  // One-shot packing writes straight into the bytes object it will return;
  // null while writing into a block from PyMem or a caller's frame.
  PyObject* bytes;
  // One-shot packing starts in a block it does not own (packb's frame, or a
  // Packer's block with autoreset), which growth leaves for a bytes object:
  // a small message then costs one allocation, a large one a single copy.
  bool in_scratch;
};

// Out of line: growth is rare once the block has reached its working size.
int buffer_grow(pack_buffer* b, size_t required);

// The output of a one-shot pack as a new bytes object: the block's bytes
// copied, or the bytes object growth moved them to, cut to length.
PyObject* buffer_take_result(pack_buffer* b);

// Room for n more bytes at buf + length, or null with MemoryError set.
inline char* buffer_reserve(pack_buffer* b, size_t n) {
  size_t required = b->length + n;
  if (required > b->capacity) [[unlikely]] {
    if (required < n || buffer_grow(b, required) < 0) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return nullptr;
    }
  }
  return b->buf + b->length;
}

// The n bytes as a first and a last Word, which overlap when n < 2 * sizeof(Word).
template <class Word>
[[gnu::always_inline]] inline void copy_ends(char* dst, const char* src, size_t n) {
  Word head, tail;
  std::memcpy(&head, src, sizeof head);
  std::memcpy(&tail, src + n - sizeof tail, sizeof tail);
  std::memcpy(dst, &head, sizeof head);
  std::memcpy(dst + n - sizeof tail, &tail, sizeof tail);
}

// Keys and short strings dominate documents, and a call to memcpy costs more
// than they do: up to 16 bytes move as two overlapping words (or halves).
[[gnu::always_inline]] inline void copy_bytes(char* dst, const char* src, size_t n) {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    copy_ends<uint64_t>(dst, src, n);
  } else if (n >= 4) {
    copy_ends<uint32_t>(dst, src, n);
  } else if (n > 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

inline int buffer_append(pack_buffer* b, const char* data, size_t n) {
  if (n == 0) return 0;
  char* p = buffer_reserve(b, n);
  if (!p) return -1;
  copy_bytes(p, data, n);
  b->length += n;
  return 0;
}

// A header of one tag byte and a big-endian field of `width` bytes (0, 1, 2, 4, 8).
inline int write_tagged(pack_buffer* b, uint8_t tag, int width, uint64_t field) {
  char* p = buffer_reserve(b, 1 + width);
  if (!p) return -1;
  p[0] = static_cast<char>(tag);
  switch (width) {
    case 1: p[1] = static_cast<char>(field); break;
    case 2: store_be16(p + 1, static_cast<uint16_t>(field)); break;
    case 4: store_be32(p + 1, static_cast<uint32_t>(field)); break;
    case 8: store_be64(p + 1, field); break;
    default: break;
  }
  b->length += 1 + width;
  return 0;
}

inline int write_byte(pack_buffer* b, uint8_t byte) { return write_tagged(b, byte, 0, 0); }
inline int write_nil(pack_buffer* b) { return write_byte(b, 0xc0); }
inline int write_true(pack_buffer* b) { return write_byte(b, 0xc3); }
inline int write_false(pack_buffer* b) { return write_byte(b, 0xc2); }

inline int write_uint64(pack_buffer* b, uint64_t v) {
  if (v < 128) return write_byte(b, static_cast<uint8_t>(v));
  if (v <= 0xff) return write_tagged(b, 0xcc, 1, v);
  if (v <= 0xffff) return write_tagged(b, 0xcd, 2, v);
  if (v <= 0xffffffffULL) return write_tagged(b, 0xce, 4, v);
  return write_tagged(b, 0xcf, 8, v);
}

inline int write_int64(pack_buffer* b, int64_t v) {
  if (v >= -32) {
    if (v < 128) return write_byte(b, static_cast<uint8_t>(v));
    return write_uint64(b, static_cast<uint64_t>(v));
  }
  uint64_t bits = static_cast<uint64_t>(v);
  if (v >= -128) return write_tagged(b, 0xd0, 1, bits);
  if (v >= -32768) return write_tagged(b, 0xd1, 2, bits);
  if (v >= INT32_MIN) return write_tagged(b, 0xd2, 4, bits);
  return write_tagged(b, 0xd3, 8, bits);
}

inline int write_float32(pack_buffer* b, double x) {
  char scratch[5];
  scratch[0] = static_cast<char>(0xca);
  if (PyFloat_Pack4(x, scratch + 1, 0) < 0) return -1;
  return buffer_append(b, scratch, 5);
}

inline int write_float64(pack_buffer* b, double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  return write_tagged(b, 0xcb, 8, bits);
}

inline int write_str_header(pack_buffer* b, size_t n) {
  if (n <= 31) return write_byte(b, static_cast<uint8_t>(0xa0 | n));
  if (n <= 255 && b->use_bin_type) return write_tagged(b, 0xd9, 1, n);
  if (n > 65535) return write_tagged(b, 0xdb, 4, n);
  return write_tagged(b, 0xda, 2, n);
}

// A whole str item, header and payload, under one capacity check: strings are
// most of what documents hold. The bytes written are write_str_header's.
inline int write_str(pack_buffer* b, const char* data, size_t n) {
  char* p = buffer_reserve(b, n + 5);
  if (!p) return -1;
  size_t h;
  if (n <= 31) {
    p[0] = static_cast<char>(0xa0 | n);
    h = 1;
  } else if (n <= 255 && b->use_bin_type) {
    p[0] = static_cast<char>(0xd9);
    p[1] = static_cast<char>(n);
    h = 2;
  } else if (n > 65535) {
    p[0] = static_cast<char>(0xdb);
    store_be32(p + 1, static_cast<uint32_t>(n));
    h = 5;
  } else {
    p[0] = static_cast<char>(0xda);
    store_be16(p + 1, static_cast<uint16_t>(n));
    h = 3;
  }
  copy_bytes(p + h, data, n);
  b->length += h + n;
  return 0;
}

inline int write_bin_header(pack_buffer* b, size_t n) {
  if (!b->use_bin_type) return write_str_header(b, n);
  if (n <= 255) return write_tagged(b, 0xc4, 1, n);
  if (n <= 65535) return write_tagged(b, 0xc5, 2, n);
  return write_tagged(b, 0xc6, 4, n);
}

inline int write_array_header(pack_buffer* b, uint32_t n) {
  if (n <= 15) return write_byte(b, static_cast<uint8_t>(0x90 | n));
  if (n <= 65535) return write_tagged(b, 0xdc, 2, n);
  return write_tagged(b, 0xdd, 4, n);
}

inline int write_map_header(pack_buffer* b, uint32_t n) {
  if (n <= 15) return write_byte(b, static_cast<uint8_t>(0x80 | n));
  if (n <= 65535) return write_tagged(b, 0xde, 2, n);
  return write_tagged(b, 0xdf, 4, n);
}

inline int write_ext_header(pack_buffer* b, int8_t type, size_t n) {
  char h[6];
  size_t len;
  switch (n) {
    case 1: h[0] = static_cast<char>(0xd4); len = 1; break;
    case 2: h[0] = static_cast<char>(0xd5); len = 1; break;
    case 4: h[0] = static_cast<char>(0xd6); len = 1; break;
    case 8: h[0] = static_cast<char>(0xd7); len = 1; break;
    case 16: h[0] = static_cast<char>(0xd8); len = 1; break;
    default:
      if (n <= 255) {
        h[0] = static_cast<char>(0xc7); h[1] = static_cast<char>(n); len = 2;
      } else if (n <= 65535) {
        h[0] = static_cast<char>(0xc8); store_be16(h + 1, static_cast<uint16_t>(n)); len = 3;
      } else {
        h[0] = static_cast<char>(0xc9); store_be32(h + 1, static_cast<uint32_t>(n)); len = 5;
      }
  }
  h[len] = static_cast<char>(type);
  return buffer_append(b, h, len + 1);
}

inline int write_timestamp(pack_buffer* b, int64_t seconds, uint32_t nanoseconds) {
  uint64_t useconds = static_cast<uint64_t>(seconds);
  if (useconds >> 34) {
    if (buffer_append(b, "\xc7\x0c\xff", 3) < 0) return -1;
    char body[12];
    store_be32(body, nanoseconds);
    store_be64(body + 4, useconds);
    return buffer_append(b, body, 12);
  }
  uint64_t data64 = (static_cast<uint64_t>(nanoseconds) << 34) | useconds;
  if ((data64 >> 32) == 0) {
    if (buffer_append(b, "\xd6\xff", 2) < 0) return -1;
    char body[4];
    store_be32(body, static_cast<uint32_t>(useconds));
    return buffer_append(b, body, 4);
  }
  if (buffer_append(b, "\xd7\xff", 2) < 0) return -1;
  char body[8];
  store_be64(body, data64);
  return buffer_append(b, body, 8);
}
