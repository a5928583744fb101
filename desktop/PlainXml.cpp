#include "desktop/PlainXml.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "desktop/TextEncoding.h"

namespace tolvex {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

// The classes of the bytes markup is made of, one table look-up each.
// kValuePlain: a byte an attribute value holds as it stands; kTextPlain: one
// text holds as it stands (ASCII, no reference, no "]" that may start "]]>").
enum CharClass : uint8_t { kSpace = 1, kNameStart = 2, kNameChar = 4, kValuePlain = 8, kTextPlain = 16 };
constexpr std::array<uint8_t, 256> kCharClasses = [] {
  std::array<uint8_t, 256> classes{};
  for (int c : {' ', '\t', '\n'}) classes[c] = kSpace;
  for (int c = 0; c < 256; ++c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') classes[c] |= kNameStart | kNameChar;
    if ((c >= '0' && c <= '9') || c == '.' || c == '-') classes[c] |= kNameChar;
    if (c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '"') classes[c] |= kValuePlain;
    if ((c >= 0x20 && c < 0x80 && c != '&' && c != ']') || c == '\n' || c == '\t') classes[c] |= kTextPlain;
  }
  return classes;
}();
bool isSpace(char c) { return kCharClasses[static_cast<unsigned char>(c)] & kSpace; }
bool isNameStart(char c) { return kCharClasses[static_cast<unsigned char>(c)] & kNameStart; }
bool isNameChar(char c) { return kCharClasses[static_cast<unsigned char>(c)] & kNameChar; }
bool isValuePlain(unsigned char c) { return kCharClasses[c] & kValuePlain; }
bool isTextPlain(unsigned char c) { return kCharClasses[c] & kTextPlain; }

// Characters taken as they stand: XML's, less the non-characters from
// U+FDD0 and at the end of each plane (those decline, for expat to judge).
bool plainCharacter(uint32_t cp) {
  if (cp < 0x20) return cp == '\t' || cp == '\n';
  if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;
  if ((cp & 0xFFFE) == 0xFFFE) return false;
  return cp <= 0x10FFFF;
}

// Length of the strict UTF-8 character at `p` (before `end`) that is a plain
// character, or 0.
size_t plainCharAt(const unsigned char* p, const unsigned char* end, uint32_t* codePoint) {
  const size_t len = utf8CharAt(p, end, codePoint);
  return len != 0 && plainCharacter(*codePoint) ? len : 0;
}

// The reference at the front of `text` ("&...;"): appends what it stands for
// and answers its length, or 0 when it is none this reader takes.
size_t reference(std::string_view text, std::string& out) {
  const size_t semicolon = text.substr(0, 13).find(';');
  if (semicolon == std::string_view::npos || semicolon < 2 || semicolon > 12) return 0;
  const std::string_view name = text.substr(1, semicolon - 1);
  static constexpr struct {
    std::string_view name;
    char character;
  } kEntities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& e : kEntities) {
    if (name == e.name) {
      out += e.character;
      return semicolon + 1;
    }
  }
  if (name[0] != '#') return 0;
  const bool hex = name.size() > 1 && name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 7) return 0;
  uint32_t cp = 0;
  for (char d : digits) {
    uint32_t v;
    if (d >= '0' && d <= '9') v = static_cast<uint32_t>(d - '0');
    else if (hex && d >= 'a' && d <= 'f') v = static_cast<uint32_t>(d - 'a' + 10);
    else if (hex && d >= 'A' && d <= 'F') v = static_cast<uint32_t>(d - 'A' + 10);
    else return 0;
    cp = cp * (hex ? 16 : 10) + v;
  }
  if (cp != '\r' && !plainCharacter(cp)) return 0;
  appendUtf8(out, cp);
  return semicolon + 1;
}

}  // namespace

size_t PlainXmlScanner::decline() {
  declined_ = true;
  return 0;
}

size_t PlainXmlScanner::scan(const char* data, size_t size, bool last) {
  if (declined_ || done_) return 0;
  size_t pos = 0;
  if (place_ == Place::kDeclaration) {
    if (size < kDeclaration.size()) return last ? decline() : 0;
    if (std::string_view(data, kDeclaration.size()) != kDeclaration) return decline();
    pos = kDeclaration.size();
    place_ = Place::kBeforeRoot;
  }
  while (pos < size) {
    if (data[pos] == '<') {
      const void* close = std::memchr(data + pos, '>', size - pos);
      if (!close) {
        if (last) return decline();
        break;
      }
      const size_t end = static_cast<size_t>(static_cast<const char*>(close) - data) + 1;
      if (!tag(std::string_view(data + pos, end - pos))) return decline();
      pos = end;
    } else {
      const void* open = std::memchr(data + pos, '<', size - pos);
      if (!open && !last) break;
      const size_t end = open ? static_cast<size_t>(static_cast<const char*>(open) - data) : size;
      if (!content(std::string_view(data + pos, end - pos))) return decline();
      pos = end;
    }
  }
  if (last) {
    if (place_ != Place::kAfterRoot) return decline();
    done_ = true;
  }
  return pos;
}

bool PlainXmlScanner::tag(std::string_view markup) {
  if (markup.size() < 3) return false;
  if (markup[1] == '/') return endTag(markup);
  if (markup[1] == '!' || markup[1] == '?') return false;
  return startTag(markup);
}

bool PlainXmlScanner::startTag(std::string_view markup) {
  if (place_ == Place::kAfterRoot) return false;
  const size_t last = markup.size() - 1;  // the '>'
  size_t i = 1;
  if (!isNameStart(markup[i])) return false;
  while (isNameChar(markup[i])) ++i;
  // The element's name and every attribute's name and value, each followed
  // by a NUL, are never longer than the markup they come from (the markup
  // spends at least "<>" on the element and '=' and two quotes on each
  // attribute), so they are written straight into a buffer that long.
  if (tag_.size() < markup.size() + kNamePadding) tag_.resize(markup.size() + kNamePadding);
  char* const base = tag_.data();
  char* out = base;
  const size_t nameLength = i - 1;
  std::memcpy(out, markup.data() + 1, nameLength);
  out += nameLength;
  *out++ = '\0';
  found_.clear();
  uint64_t seen = 0;  // one bit per kind of attribute name met
  bool empty = false;
  while (true) {
    size_t k = i;
    while (isSpace(markup[k])) ++k;
    if (k == last) break;
    if (markup[k] == '/' && k + 1 == last) {
      empty = true;
      break;
    }
    if (k == i || !isNameStart(markup[k])) return false;  // an attribute follows white space
    const size_t nameStart = k;
    while (isNameChar(markup[k])) ++k;
    const std::string_view name = markup.substr(nameStart, k - nameStart);
    while (isSpace(markup[k])) ++k;
    if (markup[k] != '=') return false;
    ++k;
    while (isSpace(markup[k])) ++k;
    if (markup[k] != '"') return false;
    // Expat refuses a repeated name. The names are looked through only when
    // one like it (length, first and last letter) came before.
    const uint64_t like = uint64_t{1} << ((name.size() * 7 + static_cast<unsigned char>(name[0]) * 3 +
                                           static_cast<unsigned char>(name.back())) & 63);
    if (seen & like) {
      for (const Attribute& a : found_) {
        if (a.nameLength == name.size() && std::memcmp(base + a.name, name.data(), name.size()) == 0) return false;
      }
    }
    seen |= like;
    const size_t nameAt = static_cast<size_t>(out - base);
    std::memcpy(out, name.data(), name.size());
    out += name.size();
    *out++ = '\0';
    found_.push_back({nameAt, name.size(), static_cast<size_t>(out - base)});
    const Value value = attributeValue(markup.substr(k + 1, last - k - 1), out);
    if (value.length == std::string_view::npos) return false;
    out = value.end;
    *out++ = '\0';
    i = k + 1 + value.length + 1;  // past the closing quote
  }
  attributes_.clear();
  for (const Attribute& a : found_) {
    attributes_.push_back(base + a.name);
    attributes_.push_back(base + a.value);
  }
  attributes_.push_back(nullptr);
  place_ = Place::kInRoot;
  handler_.start(base, attributes_.data());
  if (empty) {
    handler_.end(base);
    if (nameStarts_.empty()) place_ = Place::kAfterRoot;
  } else {
    nameStarts_.push_back(names_.size());
    names_.append(base, nameLength + 1);  // with its NUL
  }
  return true;
}

bool PlainXmlScanner::endTag(std::string_view markup) {
  if (nameStarts_.empty()) return false;
  size_t i = 2;
  if (!isNameStart(markup[i])) return false;
  while (isNameChar(markup[i])) ++i;
  const std::string_view name = markup.substr(2, i - 2);
  while (isSpace(markup[i])) ++i;
  if (i != markup.size() - 1) return false;
  const size_t start = nameStarts_.back();
  if (std::string_view(names_.data() + start, names_.size() - start - 1) != name) return false;
  handler_.end(names_.data() + start);
  names_.resize(start);
  nameStarts_.pop_back();
  if (nameStarts_.empty()) place_ = Place::kAfterRoot;
  return true;
}

// Literal white space in a value is a space; references are replaced. No
// byte grows: a reference is longer than what it stands for.
PlainXmlScanner::Value PlainXmlScanner::attributeValue(std::string_view rest, char* out) {
  constexpr Value kDecline{std::string_view::npos, nullptr};
  const auto* start = reinterpret_cast<const unsigned char*>(rest.data());
  const auto* p = start;
  const auto* end = p + rest.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c == '"') return {static_cast<size_t>(p - start), out};
    if (isValuePlain(c)) {
      do *out++ = static_cast<char>(*p++);
      while (p < end && isValuePlain(*p));
    } else if (c == '\t' || c == '\n') {
      *out++ = ' ';
      ++p;
    } else if (c == '&') {
      // No reference holds a '"', so one is never read past the closing quote.
      std::string decoded;
      const size_t used = reference(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)), decoded);
      if (used == 0) return kDecline;
      for (char d : decoded) *out++ = d;
      p += used;
    } else {
      uint32_t cp;
      const size_t len = c >= 0x80 ? plainCharAt(p, end, &cp) : 0;
      if (len == 0) return kDecline;
      for (size_t n = 0; n < len; ++n) *out++ = static_cast<char>(p[n]);
      p += len;
    }
  }
  return kDecline;  // no closing quote in the tag
}

// Text between markup: white space only outside the root element.
bool PlainXmlScanner::content(std::string_view text) {
  if (place_ != Place::kInRoot) {
    for (char c : text)
      if (!isSpace(c)) return false;
    return true;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  const auto* run = p;  // start of the plain bytes not yet handed on
  constexpr uint64_t kEightSpaces = 0x2020202020202020ull;
  while (p < end) {
    // Indentation, eight spaces at a time.
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (word == kEightSpaces) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (isTextPlain(c)) {
      ++p;
      continue;
    }
    if (c == ']') {  // "]]>" may not stand in text
      if (end - p >= 3 && p[1] == ']' && p[2] == '>') return false;
      ++p;
      continue;
    }
    if (c == '&') {
      if (p > run) handler_.text(std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run)));
      scratch_.clear();
      const size_t used = reference(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)), scratch_);
      if (used == 0) return false;
      handler_.text(scratch_);
      p += used;
      run = p;
      continue;
    }
    uint32_t cp;
    const size_t len = c >= 0x80 ? plainCharAt(p, end, &cp) : 0;
    if (len == 0) return false;
    p += len;
  }
  if (p > run) handler_.text(std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run)));
  return true;
}

}  // namespace tolvex
