// Text crossing the borders: handheld 8-bit text <-> UTF-8, XML escaping and
// the pseudo-entities of list files. The conversions return views of shared
// buffers that the next call of the same conversion overwrites: use or copy
// the result at once. Single-threaded, not reentrant.
#ifndef TOLVEX_DESKTOP_TEXTENCODING_H
#define TOLVEX_DESKTOP_TEXTENCODING_H
#include <cstddef>
#include <cstdint>
#include <climits>
#include <optional>
#include <string>
#include <string_view>

#include <expat.h>  // XML_Encoding is a typedef there and cannot be forward-declared

namespace tolvex {

std::string replaceAll(std::string_view text, std::string_view search, std::string_view replacement);
std::string escapeXmlText(std::string_view text);        // & < >
std::string escapeXmlAttribute(std::string_view text);   // & < > and " as &quot; (tab, LF, CR as references)
std::string encodePseudoEntities(std::string_view text);
std::string decodePseudoEntities(std::string_view text);
std::string encodeListText(std::string_view text);       // escapeXmlText then encodePseudoEntities

// UTF-8 -> handheld bytes (NUL-terminated in this thread's result buffer,
// valid until its next conversion; `length` out).
const char* utf8ToHandheld(std::string_view utf8, size_t* length = nullptr);
// Handheld bytes -> UTF-8 (NUL-terminated, this thread's result buffer).
const char* handheldToUtf8(const uint8_t* bytes, size_t length);
const char* utf16ToUtf8(const uint16_t* units);

// expat's unknown-encoding handler: accepts Windows-1252 under the names
// "CP1252", "CP-1252", "windows-1252" and "x-cp1252", in any letter case.
int cp1252EncodingHandler(void* data, const char* name, XML_Encoding* info);
// Code point of Windows-1252 byte b (0 for the five undefined bytes).
uint16_t cp1252CodePoint(uint8_t b);
// Windows-1252 byte for a code point above U+00FF, or 0 when the set has none.
uint8_t cp1252ByteFor(uint32_t codePoint);

// Helpers of the desktop files; none uses a shared buffer.
// Appends the UTF-8 form of a code point (at most U+10FFFF).
void appendUtf8(std::string& out, uint32_t codePoint);
// Length of the strictly valid UTF-8 character at `p` (not overlong, not a
// surrogate, at most U+10FFFF; `end` bounds the read), its code point in
// `codePoint`; 0 when there is none.
size_t utf8CharAt(const unsigned char* p, const unsigned char* end, uint32_t* codePoint);
// Length in bytes of the longest strictly valid UTF-8 prefix of `text`, of at
// most `maxChars` characters, stopping before a NUL; `chars` gets their number.
size_t validUtf8Prefix(std::string_view text, size_t maxChars, size_t* chars = nullptr);
// UTF-8 -> one byte per character, as utf8ToHandheld maps them.
std::string utf8ToLatin1Bytes(std::string_view utf8, size_t maxChars = SIZE_MAX);
// Bytes -> UTF-8, byte X being U+00XX.
std::string latin1BytesToUtf8(std::string_view bytes);
// Windows-1252 bytes -> UTF-8, as the handheld shows them; the five bytes the
// set leaves undefined become U+FFFD.
std::string cp1252BytesToUtf8(std::string_view bytes);
// Drops what an XML 1.0 document cannot hold (invalid UTF-8, control
// characters other than tab and line feed, U+FFFE/U+FFFF) and writes a
// carriage return as "&#13;". Applied after escaping. `dropped` (may be null)
// gets the number of characters left out, an invalid byte counting as one.
std::string xmlSafeUtf8(std::string_view text, size_t* dropped = nullptr);
// The same for one-byte-per-character text (the tag and filter files).
std::string xmlSafeLatin1(std::string_view bytes, size_t* dropped = nullptr);

// At most `maxBytes` bytes from the start of `text`, not ending inside a
// UTF-8 character (for showing a text in a log line).
std::string_view utf8Head(std::string_view text, size_t maxBytes);

// A list name's handheld form, one byte a character, when the name comes back
// the same from it: none for invalid UTF-8 or a character above U+00FF.
std::optional<std::string> handheldListName(std::string_view utf8);

}  // namespace tolvex
#endif
