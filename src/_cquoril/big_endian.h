// The wire's big-endian numbers, read and written at any alignment.
#pragma once
#include <cstdint>
#include <cstring>

inline void store_be16(char* p, uint16_t v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v);
}
inline void store_be32(char* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void store_be64(char* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline uint16_t load_be16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t load_be32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}
inline uint64_t load_be64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// A number of 1, 2, 4 or 8 bytes.
inline uint64_t load_be(const unsigned char* p, uint64_t width) {
  switch (width) {
    case 1: return p[0];
    case 2: return load_be16(p);
    case 4: return load_be32(p);
    default: return load_be64(p);
  }
}
