// Text crossing the borders: handheld 8-bit text <-> UTF-8, XML escaping and
// the pseudo-entities of list files. The conversions return views of shared
// buffers that the next call of the same conversion overwrites: use or copy
// the result at once. Single-threaded, not reentrant.
#ifndef TOLVEX_DESKTOP_TEXTENCODING_H
#define TOLVEX_DESKTOP_TEXTENCODING_H
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct XML_Encoding;

namespace tolvex {

std::string replaceAll(std::string_view text, std::string_view search, std::string_view replacement);
std::string escapeXmlText(std::string_view text);        // & < >
std::string escapeXmlAttribute(std::string_view text);   // & < > and " as &quot;
std::string encodePseudoEntities(std::string_view text);
std::string decodePseudoEntities(std::string_view text);
std::string encodeListText(std::string_view text);       // escapeXmlText then encodePseudoEntities

// UTF-8 -> handheld bytes (NUL-terminated in the shared buffer; `length` out).
const char* utf8ToHandheld(std::string_view utf8, size_t* length = nullptr);
// Handheld bytes -> UTF-8 (NUL-terminated, shared buffer).
const char* handheldToUtf8(const uint8_t* bytes, size_t length);
const char* utf16ToUtf8(const uint16_t* units);

// expat's unknown-encoding handler: accepts exactly "CP1252".
int cp1252EncodingHandler(void* data, const char* name, XML_Encoding* info);
// Code point of Windows-1252 byte b (0 for the five undefined bytes).
uint16_t cp1252CodePoint(uint8_t b);
// Windows-1252 byte for a code point above U+00FF, or 0 when the set has none.
uint8_t cp1252ByteFor(uint32_t codePoint);

}  // namespace tolvex
#endif
