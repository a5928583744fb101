// Text conversions between the handheld's 8-bit text and UTF-8, and the
// escaping of desktop XML texts.
#include "desktop/TextEncoding.h"

#include <wx/strconv.h>

#include <cstring>
#include <vector>

namespace tolvex {
namespace {

// Shared result buffers: allocated on first use and kept, as the conversions
// are called once per field of every record. A result reads as all zeros past
// its text; clearing only what the previous result used keeps that true
// without rewriting the whole buffer for every field.
constexpr size_t kHandheldBytes = 8193;
constexpr size_t kUtf8Bytes = 8194;

class ResultBuffer {
 public:
  explicit ResultBuffer(size_t size) : bytes_(size, 0) {}
  char* clear() {
    std::memset(bytes_.data(), 0, used_);
    used_ = 0;
    return bytes_.data();
  }
  // `n` bytes from the start may now be non-zero.
  void used(size_t n) { used_ = n; }
  char* data() { return bytes_.data(); }

 private:
  std::vector<char> bytes_;
  size_t used_ = 0;
};

// One result buffer of each kind per thread: a text answered by a conversion
// stays valid until the next conversion on the same thread, whatever other
// threads (the host reads lists beside a run) convert meanwhile.
ResultBuffer& handheldBuffer() {
  static thread_local ResultBuffer buffer(kHandheldBytes);
  return buffer;
}

ResultBuffer& utf8Buffer() {
  static thread_local ResultBuffer buffer(kUtf8Bytes);
  return buffer;
}

struct PseudoEntity {
  const char* entity;
  const char* character;  // the two-byte UTF-8 form of U+0091..U+0096 and U+00A3
};

// Applied row by row in this order.
constexpr PseudoEntity kPseudoEntities[] = {
    {"!bullet!;", "\xC2\x95"},  {"!apos!;", "\xC2\x92"},    {"!dash!;", "\xC2\x96"},
    {"!fdquote!;", "\xC2\x94"}, {"!bdquote!;", "\xC2\x93"}, {"!bsquote!;", "\xC2\x91"},
    {"!gbp!;", "\xC2\xA3"},
};

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }


// Handheld byte for one character: its own code up to U+00FF, its
// Windows-1252 byte above that, else "?".
char handheldByteFor(uint32_t cp) {
  if (cp <= 0xFF) return static_cast<char>(cp);
  uint8_t b = cp1252ByteFor(cp);
  return b != 0 ? static_cast<char>(b) : '?';
}

// Keeps the characters XML 1.0 can carry; a carriage return becomes a
// character reference so that line-end handling does not turn it into a
// line feed. False when the character was left out.
bool appendXmlChar(std::string& out, uint32_t cp, std::string_view bytes) {
  if (cp == '\r') {
    out += "&#13;";
  } else if (cp == '\t' || cp == '\n' || (cp >= 0x20 && cp <= 0xD7FF) ||
             (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF)) {
    out += bytes;
  } else {
    return false;
  }
  return true;
}

}  // namespace

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t utf8CharAt(const unsigned char* p, const unsigned char* end, uint32_t* codePoint) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c < 0x80) {
    len = 1;
    cp = c;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;  // a continuation byte, an overlong two-byte lead or a lead beyond U+10FFFF
  }
  if (static_cast<size_t>(end - p) < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if (!isContinuation(p[k])) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;  // overlong, out of range, or a surrogate
  }
  *codePoint = cp;
  return len;
}

size_t validUtf8Prefix(std::string_view text, size_t maxChars, size_t* chars) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  size_t i = 0, n = 0;
  while (i < text.size() && n < maxChars && begin[i] != 0) {
    uint32_t cp;
    const size_t len = utf8CharAt(begin + i, end, &cp);
    if (len == 0) break;
    i += len;
    ++n;
  }
  if (chars) *chars = n;
  return i;
}

// The valid prefix is decoded here directly: it holds whole, strictly valid
// characters only, so no general converter is needed.
std::string utf8ToLatin1Bytes(std::string_view utf8, size_t maxChars) {
  size_t chars = 0;
  const size_t valid = validUtf8Prefix(utf8, maxChars, &chars);
  std::string out;
  out.reserve(chars);
  for (size_t i = 0; i < valid;) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out += handheldByteFor(cp);
    i += len;
  }
  return out;
}

std::string latin1BytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string cp1252BytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    uint16_t cp = cp1252CodePoint(static_cast<unsigned char>(c));
    appendUtf8(out, c != 0 && cp == 0 ? 0xFFFD : cp);
  }
  return out;
}

std::string xmlSafeUtf8(std::string_view text, size_t* dropped) {
  std::string out;
  out.reserve(text.size());
  size_t left = 0;
  size_t i = 0;
  while (i < text.size()) {
    size_t chars = 0;
    size_t len = validUtf8Prefix(text.substr(i), 1, &chars);
    if (chars == 0) {  // an invalid byte or a NUL: dropped
      ++left;
      ++i;
      continue;
    }
    std::string_view ch = text.substr(i, len);
    uint32_t cp;
    unsigned char c = static_cast<unsigned char>(ch[0]);
    if (len == 1) cp = c;
    else if (len == 2) cp = ((c & 0x1F) << 6) | (ch[1] & 0x3F);
    else if (len == 3) cp = ((c & 0x0F) << 12) | ((ch[1] & 0x3F) << 6) | (ch[2] & 0x3F);
    else cp = ((c & 0x07) << 18) | ((ch[1] & 0x3F) << 12) | ((ch[2] & 0x3F) << 6) | (ch[3] & 0x3F);
    if (!appendXmlChar(out, cp, ch)) ++left;
    i += len;
  }
  if (dropped) *dropped = left;
  return out;
}

std::string xmlSafeLatin1(std::string_view bytes, size_t* dropped) {
  std::string out;
  out.reserve(bytes.size());
  size_t left = 0;
  for (char c : bytes) {
    if (!appendXmlChar(out, static_cast<unsigned char>(c), std::string_view(&c, 1))) ++left;
  }
  if (dropped) *dropped = left;
  return out;
}

std::string_view utf8Head(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t cut = maxBytes;
  while (cut > 0 && isContinuation(static_cast<unsigned char>(text[cut]))) --cut;
  return text.substr(0, cut);
}

std::optional<std::string> handheldListName(std::string_view utf8) {
  std::string bytes = utf8ToLatin1Bytes(utf8);
  // A character above U+00FF becomes "?" or a Windows-1252 byte, which reads
  // back as another character; invalid UTF-8 or a NUL ends the conversion.
  if (latin1BytesToUtf8(bytes) != utf8) return std::nullopt;
  return bytes;
}

std::string replaceAll(std::string_view text, std::string_view search, std::string_view replacement) {
  if (search.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(search, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + search.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string escapeXmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string escapeXmlAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      // Attribute-value normalisation would turn these into spaces.
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string encodePseudoEntities(std::string_view text) {
  // Each character is searched in its whole two-byte form, so the same byte
  // inside another character (0xC3 0x95, 0xE2 0x80 0x93) is left alone.
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xC2 && i + 1 < text.size()) {
      const char* entity = nullptr;
      for (const PseudoEntity& p : kPseudoEntities) {
        if (text[i + 1] == p.character[1]) {
          entity = p.entity;
          break;
        }
      }
      if (entity) {
        out += entity;
        i += 2;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

std::string decodePseudoEntities(std::string_view text) {
  if (text.find('!') == std::string_view::npos) return std::string(text);
  std::string out(text);
  for (const PseudoEntity& p : kPseudoEntities) out = replaceAll(out, p.entity, p.character);
  return out;
}

std::string encodeListText(std::string_view text) { return encodePseudoEntities(escapeXmlText(text)); }

const char* utf8ToHandheld(std::string_view utf8, size_t* length) {
  ResultBuffer& buffer = handheldBuffer();
  char* out = buffer.clear();
  std::string bytes = utf8ToLatin1Bytes(utf8, kHandheldBytes - 1);
  std::memcpy(out, bytes.data(), bytes.size());
  buffer.used(bytes.size());
  if (length) *length = bytes.size();
  return out;
}

// Each handheld byte is the code point of the same value, so its UTF-8 form
// is one or two bytes, written directly. Like the general conversion it ends
// at a NUL and keeps whole characters within the first kUtf8Bytes - 1 bytes.
const char* handheldToUtf8(const uint8_t* bytes, size_t length) {
  ResultBuffer& buffer = utf8Buffer();
  char* out = buffer.clear();
  if (bytes == nullptr) return out;
  size_t used = 0;
  for (size_t i = 0; i < length && i < kUtf8Bytes && bytes[i] != 0; ++i) {
    const uint8_t b = bytes[i];
    if (b < 0x80) {
      if (used + 1 > kUtf8Bytes - 1) break;
      out[used++] = static_cast<char>(b);
    } else {
      if (used + 2 > kUtf8Bytes - 1) break;
      out[used++] = static_cast<char>(0xC0 | (b >> 6));
      out[used++] = static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  buffer.used(used);
  return out;
}

const char* utf16ToUtf8(const uint16_t* units) {
  ResultBuffer& buffer = utf8Buffer();
  buffer.clear();
  if (units == nullptr) return buffer.data();
  // Only as much input as can fill the result: each unit gives at most 3 bytes.
  size_t n = 0;
  while (units[n] != 0 && n < kUtf8Bytes) ++n;
  // A lone surrogate cannot be converted; it becomes U+FFFD.
  std::vector<uint16_t> clean(units, units + n);
  for (size_t i = 0; i < n; ++i) {
    uint16_t u = clean[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && clean[i + 1] >= 0xDC00 && clean[i + 1] <= 0xDFFF) {
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      clean[i] = 0xFFFD;
    }
  }
  clean.push_back(0);
  wxMBConvUTF16 utf16;
  std::vector<wchar_t> wide(n + 1, 0);
  size_t wideLen = utf16.ToWChar(wide.data(), wide.size(), reinterpret_cast<const char*>(clean.data()),
                                 n * sizeof(uint16_t));
  if (wideLen == wxCONV_FAILED) return buffer.data();
  wxMBConvUTF8 utf8;
  size_t need = utf8.FromWChar(nullptr, 0, wide.data(), wideLen);
  if (need == wxCONV_FAILED) return buffer.data();
  std::string out(need, '\0');
  utf8.FromWChar(out.data(), out.size(), wide.data(), wideLen);
  // Whole characters only, within the first kUtf8Bytes - 1 bytes.
  size_t used = out.size();
  if (used > kUtf8Bytes - 1) {
    used = kUtf8Bytes - 1;
    while (used > 0 && isContinuation(static_cast<unsigned char>(out[used]))) --used;
  }
  std::memcpy(buffer.data(), out.data(), used);
  buffer.used(used);
  return buffer.data();
}

}  // namespace tolvex
