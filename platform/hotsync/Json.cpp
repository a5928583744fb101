#include "platform/hotsync/Json.h"

#include <cstdio>

#include "desktop/TextEncoding.h"

namespace tolvex::host {

std::string jsonQuoted(std::string_view utf8) {
  std::string out = "\"";
  while (!utf8.empty()) {
    size_t valid = validUtf8Prefix(utf8, SIZE_MAX);
    for (size_t i = 0; i < valid; ++i) {
      unsigned char c = static_cast<unsigned char>(utf8[i]);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    utf8.remove_prefix(valid);
    if (utf8.empty()) break;
    // validUtf8Prefix stops before a NUL as well as before a bad byte.
    out += utf8[0] == '\0' ? "\\u0000" : "\xEF\xBF\xBD";
    utf8.remove_prefix(1);
  }
  return out + "\"";
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasMembers_.empty()) {
    if (hasMembers_.back()) out_ += ',';
    hasMembers_.back() = true;
  }
}

JsonWriter& JsonWriter::open(char bracket) {
  beforeValue();
  out_ += bracket;
  hasMembers_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  if (!hasMembers_.empty()) hasMembers_.pop_back();
  out_ += bracket;
  return *this;
}

JsonWriter& JsonWriter::beginObject() { return open('{'); }
JsonWriter& JsonWriter::endObject() { return close('}'); }
JsonWriter& JsonWriter::beginArray() { return open('['); }
JsonWriter& JsonWriter::endArray() { return close(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  out_ += jsonQuoted(name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view utf8) {
  beforeValue();
  out_ += jsonQuoted(utf8);
  return *this;
}

JsonWriter& JsonWriter::number(int64_t value) {
  beforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  beforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  beforeValue();
  out_ += "null";
  return *this;
}

}  // namespace tolvex::host
