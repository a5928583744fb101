// Bounded big-endian reads over a byte block: a byte past the block reads as
// zero, so a short record behaves like one in a zeroed buffer.
#ifndef TOLVEX_EXPORT_BYTES_H
#define TOLVEX_EXPORT_BYTES_H
#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvex {

inline uint8_t byteAt(const uint8_t* bytes, size_t size, size_t offset) {
  return offset < size ? bytes[offset] : 0;
}

inline uint16_t be16At(const uint8_t* bytes, size_t size, size_t offset) {
  return static_cast<uint16_t>(byteAt(bytes, size, offset) << 8 | byteAt(bytes, size, offset + 1));
}

inline uint32_t be32At(const uint8_t* bytes, size_t size, size_t offset) {
  return static_cast<uint32_t>(be16At(bytes, size, offset)) << 16 | be16At(bytes, size, offset + 2);
}

// The zero-terminated text of a `width`-byte field; ends at the end of the
// field (or of the block) when it has no terminator.
inline std::string fieldText(const uint8_t* bytes, size_t size, size_t offset, size_t width) {
  std::string text;
  for (size_t i = offset; i < offset + width && i < size && bytes[i] != 0; ++i)
    text.push_back(static_cast<char>(bytes[i]));
  return text;
}

}  // namespace tolvex
#endif
