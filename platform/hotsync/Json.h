// A small JSON writer for the dump commands: one compact document, strings
// escaped and always valid UTF-8 (a byte that is not part of a valid UTF-8
// sequence becomes U+FFFD).
#ifndef TOLVEX_PLATFORM_HOTSYNC_JSON_H
#define TOLVEX_PLATFORM_HOTSYNC_JSON_H
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::host {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The name of the next member of the open object.
  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view utf8);
  JsonWriter& number(int64_t value);
  JsonWriter& boolean(bool value);
  JsonWriter& null();
  const std::string& text() const { return out_; }

 private:
  void beforeValue();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string out_;
  std::vector<bool> hasMembers_;  // one entry per open object or array
  bool afterKey_ = false;
};

// `utf8` as a quoted JSON string.
std::string jsonQuoted(std::string_view utf8);

}  // namespace tolvex::host
#endif
