// Reads a desktop list file (and the settings and tag files, which use a
// subset of its grammar) into an ItemList, parsing it block by block: with
// the plain reader when the file is of the plain form this program writes,
// else (or when the plain reader declines it part way) with expat from the
// start. Both make the same calls, so the list is the same either way.
#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "desktop/PlainXml.h"
#include "desktop/RegularFile.h"
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"

namespace tolvex {
namespace {

// The plain reader's blocks; a piece of markup or text longer than a block
// makes the block grow, up to the limit below.
constexpr size_t kPlainBlockBytes = 256 * 1024;
// The parser scans an unfinished piece of markup again from its start with
// every block, so a block is doubled whenever the last one completed nothing:
// the rescans then add up to at most twice the file, whatever it holds.
constexpr size_t kFirstBlockBytes = 64 * 1024;
// No list holds a piece of markup nearly this long (the longest is an item's
// start tag, a few kilobytes); a file that does is refused rather than held.
constexpr uint64_t kMaxPieceBytes = 64u << 20;
// The largest file a list the handheld can hold makes: 65,535 items, each at
// the deepest indentation (16 lines of at most 1 KiB of indentation and
// markup) with a 260-byte title, a 4,095-byte note, a 4,095-byte file link
// and a 188-byte localID, every byte in its longest escaped form (6 bytes).
// Anything larger is no list file.
constexpr uint64_t kMaxListFileBytes = 1024 + 65535ull * (16 * 1024 + 6 * (260 + 4095 + 4095 + 188));
// Raw character data kept per text element: a pseudo-entity (at most 10
// bytes) becomes one two-byte character, so five raw bytes per kept byte
// always suffice.
constexpr size_t kRawTextLimit = 5 * ListNode::kMaxTextBytes + 64;

const char kOldFileText[] =
    "#   This file on your handheld needs to be re-saved with a"
    "#   newer version of the Palm software for it to work with"
    "#   this conduit/desktop application version. Please"
    "#   downloader a newer application version!";

enum State : uint16_t {
  kBeforeFirstItem = 0,
  kInItem = 1,
  kTitle = 2,
  kNote = 3,
  kCreateTime = 4,
  kStartTime = 5,
  kFinishTime = 6,
  kTargetTime = 7,
  kLinkFile = 8,
  kLinkToDo = 9,
  kLinkDatebook = 10,
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A decimal number read the way atoi reads one, modulo 2^32, fed piece by
// piece so that a number split across parser callbacks is still read whole.
class NumberReader {
 public:
  void feed(std::string_view text) {
    for (char c : text) {
      if (phase_ == kDone) return;
      if (phase_ == kLeading && isSpace(c)) continue;
      if (phase_ == kLeading && (c == '+' || c == '-')) {
        negative_ = c == '-';
        phase_ = kDigits;
        continue;
      }
      if (c >= '0' && c <= '9') {
        value_ = value_ * 10u + static_cast<uint32_t>(c - '0');
        phase_ = kDigits;
        continue;
      }
      phase_ = kDone;
    }
  }
  uint32_t value() const { return negative_ ? 0u - value_ : value_; }

 private:
  enum Phase { kLeading, kDigits, kDone };
  Phase phase_ = kLeading;
  bool negative_ = false;
  uint32_t value_ = 0;
};

uint32_t number(const char* text) {
  // Nearly every value is plain digits, read here in one pass; anything
  // else takes the reader's way.
  uint32_t value = 0;
  const char* p = text;
  while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<uint32_t>(*p++ - '0');
  if (*p == '\0' && p != text) return value;
  NumberReader reader;
  reader.feed(text);
  return reader.value();
}

// Length of the number at the start of `text`: white space, a sign, digits.
size_t numberLength(const char* text) {
  size_t i = 0;
  while (isSpace(text[i])) ++i;
  if (text[i] == '+' || text[i] == '-') ++i;
  size_t digits = i;
  while (text[i] >= '0' && text[i] <= '9') ++i;
  return i == digits ? 0 : i;  // no digits: nothing was read
}

bool flag(const char* value) { return !(value[0] == 'n' && value[1] == 'o' && value[2] == '\0'); }

// Whether the name `text` is `word`. Element and attribute names are short
// and met a million times in a large list, so they are compared in line.
// When the reader leaves room after every name (`padded`, see PlainXml.h),
// the whole word with its NUL is compared at once: a longer or shorter name
// differs at the NUL. Otherwise the loop stops at the first difference, so
// it never reads past `text`'s end.
template <size_t N>
bool sameName(const char* text, const char (&word)[N], bool padded) {
  static_assert(N <= PlainXmlScanner::kNamePadding);
  if (padded) return std::memcmp(text, word, N) == 0;
  for (size_t i = 0; i < N; ++i)
    if (text[i] != word[i]) return false;
  return true;
}
// Whether the name `text` starts with `word`.
template <size_t N>
bool startsName(const char* text, const char (&word)[N]) {
  for (size_t i = 0; i + 1 < N; ++i)
    if (text[i] != word[i]) return false;
  return true;
}

// Puts each item into the list's tree.
class TreeSink : public ListItemSink {
 public:
  ListNode* place(ItemList& list, size_t depth) override {
    auto node = std::make_unique<ListNode>(0, &list);
    ListNode* added = node.get();
    if (path_.empty()) {
      list.setHead(std::move(node));
    } else if (depth == path_.size()) {
      path_.back()->insertFirstChild(std::move(node));
    } else {
      path_[depth]->insertAfter(std::move(node));
      path_.resize(depth);
    }
    path_.push_back(added);
    return added;
  }

 private:
  std::vector<ListNode*> path_;  // the item placed last and its ancestors, by depth
};

// One read: the parse state and the list under construction.
class ListParse {
 public:
  // `padded`: the names handed over may be read PlainXmlScanner::kNamePadding
  // bytes from their first.
  ListParse(std::string& message, ListItemSink& items, bool padded)
      : message_(message), items_(items), list_(std::make_unique<ItemList>()), padded_(padded) {}

  bool oldFile() const { return oldFile_; }
  std::unique_ptr<ItemList> takeList() { return std::move(list_); }

  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    static_cast<ListParse*>(self)->start(name, attributes);
  }
  static void XMLCALL onEnd(void* self, const XML_Char* name) { static_cast<ListParse*>(self)->end(name); }
  static void XMLCALL onText(void* self, const XML_Char* text, int length) {
    if (length > 0) static_cast<ListParse*>(self)->text(std::string_view(text, static_cast<size_t>(length)));
  }

 private:
  void start(const char* name, const char** attributes) {
    size_t depth = elements_.size();
    const bool item = sameName(name, "item", padded_);
    bool created = false;
    if (state_ == kBeforeFirstItem) {
      if (item) {
        current_ = items_.place(*list_, 0);
        depth_ = 0;
        openItems_ = 1;
        state_ = kInItem;
        created = true;
      } else if (sameName(name, "TolvanOldFile-ResaveOnHandHeld", padded_)) {
        oldFile_ = true;
        message_ += kOldFileText;
      }
    } else if (state_ == kInItem) {
      if (item) {
        addItem();
        created = true;
      } else {
        enterElementState(name, depth);
      }
    }
    elements_.push_back(created);
    readAttributes(name, attributes);
  }

  // The new item goes below the last item if that is still open, else after
  // the closed item at the depth where the open items end.
  void addItem() {
    size_t open = openItems_ > 0 ? static_cast<size_t>(openItems_) : 0;
    depth_ = open > depth_ ? depth_ + 1 : open;
    current_ = items_.place(*list_, depth_);
    ++openItems_;
  }

  // Each name is told by a letter or two, then compared whole once.
  void enterElementState(const char* name, size_t depth) {
    const bool padded = padded_;
    const auto is = [name, padded](const auto& wanted, State state) {
      return sameName(name, wanted, padded) ? state : kInItem;
    };
    State state = kInItem;
    if (name[0] == 't') {
      state = is("title", kTitle);
    } else if (name[0] == 'n') {
      state = is("note", kNote);
    } else if (name[0] == 'h' && name[1] == 'h') {
      switch (name[2]) {
        case 'C': state = is("hhCreateTime", kCreateTime); break;
        case 'S': state = is("hhStartTime", kStartTime); break;
        case 'F': state = is("hhFinishTime", kFinishTime); break;
        case 'T': state = is("hhTargetTime", kTargetTime); break;
        default: break;
      }
    } else if (startsName(name, "link")) {
      switch (name[4]) {
        case 'F': state = is("linkFile", kLinkFile); break;
        case 'T': state = is("linkToDo", kLinkToDo); break;
        case 'D': state = is("linkDatebook", kLinkDatebook); break;
        default: break;
      }
    }
    if (state == kInItem) return;
    state_ = state;
    stateDepth_ = depth;
    pending_.clear();
    time_ = NumberReader();
  }

  enum class Key {
    kOther, kUniqueTime, kUploadFile, kEabType, kEabID, kProgress, kPriority, kUniqueID, kDirtyContent,
    kDirtyPosition, kDeleted, kAutoNumber, kAlarmID, kDispColour, kDispBold, kDispOverride, kID, kChecked,
    kExpanded, kExpandedMemo, kExpandedLinks, kLocalID,
  };

  // Every item has some twenty attributes: each told by a letter or two (a
  // letter is looked at only when those before it are not the end), then
  // compared whole once.
  static Key keyOf(const char* key, bool padded) {
    const auto is = [key, padded](const auto& name, Key k) { return sameName(key, name, padded) ? k : Key::kOther; };
    switch (key[0]) {
      case 'u':
        if (key[1] == 'p') return is("uploadFile", Key::kUploadFile);
        return sameName(key, "uniqueID", padded) ? Key::kUniqueID : is("uniqueTime", Key::kUniqueTime);
      case 'd':
        if (key[1] == 'e') return is("deleted", Key::kDeleted);
        if (key[1] != 'i') return Key::kOther;
        if (key[2] == 'r') return key[3] && key[4] && key[5] == 'P' ? is("dirtyPosition", Key::kDirtyPosition)
                                                                    : is("dirtyContent", Key::kDirtyContent);
        if (key[2] != 's' || key[3] != 'p') return Key::kOther;
        if (key[4] == 'C') return is("dispColour", Key::kDispColour);
        if (key[4] == 'B') return is("dispBold", Key::kDispBold);
        return is("dispOverride", Key::kDispOverride);
      case 'e':
        if (key[1] == 'a') return key[2] == 'b' && key[3] == 'T' ? is("eabType", Key::kEabType) : is("eabID", Key::kEabID);
        if (!startsName(key, "expanded")) return Key::kOther;
        if (key[8] == '\0') return Key::kExpanded;
        return key[8] == 'M' ? is("expandedMemo", Key::kExpandedMemo) : is("expandedLinks", Key::kExpandedLinks);
      case 'p':
        if (key[1] != 'r') return Key::kOther;
        return key[2] == 'i' ? is("priority", Key::kPriority) : is("progress", Key::kProgress);
      case 'a': return key[1] == 'u' ? is("autoNumber", Key::kAutoNumber) : is("alarmID", Key::kAlarmID);
      case 'c': return is("checked", Key::kChecked);
      case 'l': return is("localID", Key::kLocalID);
      case 'I': return is("ID", Key::kID);
      default: return Key::kOther;
    }
  }

  void readAttributes(const char* name, const char** attributes) {
    int64_t eabType = -1;
    uint32_t eabID = 0;
    ListNode* item = current_;  // none before the first item: item attributes are ignored
    for (size_t i = 0; attributes[i] && attributes[i + 1]; i += 2) {
      const Key key = keyOf(attributes[i], padded_);
      const char* value = attributes[i + 1];
      if (key == Key::kUniqueTime) {
        list_->setUniqueTime(number(value));
      } else if (key == Key::kUploadFile) {
        list_->setUploadFile(static_cast<uint8_t>(number(value)));
      } else if (key == Key::kEabType) {
        eabType = static_cast<int32_t>(number(value));
      } else if (key == Key::kEabID) {
        eabID = number(value);
      } else if (item) {
        readItemAttribute(*item, key, value);
      }
    }
    if (state_ == kInItem && item && sameName(name, "linkEAB", padded_) && eabType >= 0 && eabID != 0) {
      item->addLinkEAB(static_cast<uint8_t>(eabType), eabID);
    }
  }

  void readItemAttribute(ListNode& item, Key key, const char* value) {
    auto byte = [value] { return static_cast<uint8_t>(number(value)); };
    switch (key) {
      case Key::kProgress: item.setProgress(byte()); break;
      case Key::kPriority: item.setPriority(byte()); break;
      case Key::kUniqueID: item.setUniqueID(number(value)); break;
      case Key::kDirtyContent: item.setDirtyContent(byte() != 0); break;
      case Key::kDirtyPosition: item.setDirtyPosition(byte() != 0); break;
      case Key::kDeleted: item.setDeleted(byte() != 0); break;
      case Key::kAutoNumber: item.setAutoNumber(byte()); break;
      case Key::kAlarmID: item.setAlarmID(number(value)); break;
      case Key::kDispColour: item.setDispColour(byte()); break;
      case Key::kDispBold: item.setDispBold(flag(value)); break;
      case Key::kDispOverride: readDispOverride(item, value); break;
      case Key::kID: readLinkId(item, number(value)); break;
      case Key::kChecked: item.setChecked(flag(value)); break;
      case Key::kExpanded: item.setExpanded(flag(value)); break;
      case Key::kExpandedMemo: item.setExpandedMemo(flag(value)); break;
      case Key::kExpandedLinks: item.setExpandedLinks(flag(value)); break;
      case Key::kLocalID: item.setLocalID(std::string(value)); break;
      default: break;
    }
  }

  // "kind:value"; the value is read from after the character that follows the kind.
  static void readDispOverride(ListNode& item, const char* value) {
    auto kind = static_cast<int8_t>(static_cast<uint8_t>(number(value)));
    size_t end = numberLength(value);
    uint32_t second = value[end] != '\0' ? number(value + end + 1) : 0;
    item.setDispOverride(kind, second);
  }

  void readLinkId(ListNode& item, uint32_t id) {
    if (state_ == kLinkToDo) {
      item.setLinkToDo(id);
      state_ = kInItem;
    } else if (state_ == kLinkDatebook) {
      item.setLinkDatebook(id);
      state_ = kInItem;
    }
  }

  void end(const char* /*name*/) {
    if (elements_.empty()) return;
    bool created = elements_.back();
    elements_.pop_back();
    if (created) --openItems_;
    // The element that set the state ends: what it held is complete.
    if (state_ > kInItem && elements_.size() == stateDepth_) {
      finishElement();
      state_ = kInItem;
    }
  }

  void text(std::string_view piece) {
    switch (state_) {
      case kTitle:
      case kNote:
      case kLinkFile: append(piece, kRawTextLimit); break;
      case kCreateTime:
      case kStartTime:
      case kFinishTime:
      case kTargetTime: time_.feed(piece); break;
      default: break;  // white space between elements
    }
  }

  void append(std::string_view piece, size_t limit) {
    if (pending_.size() >= limit) return;
    pending_.append(piece.substr(0, limit - pending_.size()));
  }

  void finishElement() {
    ListNode& item = *current_;
    switch (state_) {
      case kTitle:
        if (!pending_.empty()) {
          std::string text = decodePseudoEntities(pending_);
          item.setTitle(item.hasTitle() ? item.title() + text : std::move(text));
        }
        break;
      case kNote:
        if (!pending_.empty()) {
          std::string text = decodePseudoEntities(pending_);
          item.setNote(item.hasNote() ? item.note() + text : std::move(text));
        }
        break;
      case kLinkFile:
        if (!pending_.empty()) {
          std::string text = decodePseudoEntities(pending_);
          item.setLinkFile(item.linkFile() ? *item.linkFile() + text : std::move(text));
        }
        break;
      case kCreateTime: item.setHhCreateTime(time_.value()); break;
      case kStartTime: item.setHhStartTime(time_.value()); break;
      case kFinishTime: item.setHhFinishTime(time_.value()); break;
      case kTargetTime: item.setHhTargetTime(time_.value()); break;
      default: break;  // a link element without ID
    }
    pending_.clear();
  }

  std::string& message_;
  ListItemSink& items_;
  std::unique_ptr<ItemList> list_;
  State state_ = kBeforeFirstItem;
  ListNode* current_ = nullptr;
  size_t depth_ = 0;  // of current_
  int32_t openItems_ = 0;
  bool oldFile_ = false;
  // The open elements, innermost last: true for an item element that made an item.
  std::vector<uint8_t> elements_;
  size_t stateDepth_ = 0;  // element depth of the element that set state_
  std::string pending_;     // character data of a title, note or linkFile element
  NumberReader time_;
  const bool padded_;
};

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  bool rewind() { return ::lseek(fd_, 0, SEEK_SET) == 0; }
  // Fills `buffer` as far as the file goes; -1 on a read error.
  long fill(char* buffer, size_t size) { return readUpTo(fd_, buffer, size); }

 private:
  int fd_;
};

// Hands the plain reader's calls to a list parse.
class PlainCalls : public PlainXmlScanner::Handler {
 public:
  explicit PlainCalls(ListParse& parse) : parse_(parse) {}
  void start(const char* name, const char** attributes) override { ListParse::onStart(&parse_, name, attributes); }
  void end(const char* name) override { ListParse::onEnd(&parse_, name); }
  void text(std::string_view piece) override {
    // Expat hands text in pieces of at most INT_MAX bytes; so does this.
    while (!piece.empty()) {
      const size_t n = std::min<size_t>(piece.size(), 1u << 30);
      ListParse::onText(&parse_, piece.data(), static_cast<int>(n));
      piece.remove_prefix(n);
    }
  }

 private:
  ListParse& parse_;
};

enum class PlainResult { kRead, kDeclined, kReadError };

// The whole file through the plain reader into `parse`.
PlainResult readPlain(Descriptor& file, ListParse& parse, ListItemSink& items) {
  PlainCalls calls(parse);
  PlainXmlScanner scanner(calls);
  std::vector<char> block(kPlainBlockBytes);
  size_t held = 0;  // an unfinished piece carried to the front
  while (true) {
    const long got = file.fill(block.data() + held, block.size() - held);
    if (got < 0) return PlainResult::kReadError;
    items.read(block.data() + held, static_cast<size_t>(got));
    const size_t filled = held + static_cast<size_t>(got);
    const bool last = filled < block.size();
    const size_t used = scanner.scan(block.data(), filled, last);
    if (scanner.declined()) return PlainResult::kDeclined;
    if (last) return scanner.done() ? PlainResult::kRead : PlainResult::kDeclined;
    held = filled - used;
    std::memmove(block.data(), block.data() + used, held);
    if (held == block.size()) {
      if (block.size() >= kMaxPieceBytes) return PlainResult::kDeclined;  // expat says what is wrong
      block.resize(block.size() * 2);
    }
  }
}

void appendParserError(std::string& out, XML_Parser parser) {
  char line[64];
  std::snprintf(line, sizeof(line), " at line %d\n", static_cast<int>(XML_GetCurrentLineNumber(parser)));
  const XML_LChar* text = XML_ErrorString(XML_GetErrorCode(parser));
  out += text ? text : "unknown error";
  out += line;
}

}  // namespace

std::unique_ptr<ItemList> ListFileReader::read(const std::string& path, std::string& message) {
  // Never a blocking open: a FIFO named like a list must not stall the run.
  std::string why;
  uint64_t size = 0;
  const int fd = openRegularFile(path, &why, &size);
  return readOpened(fd, why, size, path, message);
}

std::unique_ptr<ItemList> ListFileReader::readOpened(int fd, const std::string& why, uint64_t size,
                                                     const std::string& path, std::string& message,
                                                     ListItemSink* items) {
  parserCalls_ = 0;
  Descriptor file(fd);
  if (why == "not a regular file") {
    message = "Couldn't open file '" + path + "': not a regular file\n";
    return nullptr;
  }
  if (!why.empty()) {
    message = "Couldn't open file '" + path + "'\n";
    return nullptr;
  }
  if (size > kMaxListFileBytes) {
    message = "Couldn't open file '" + path + "': " + std::to_string(size) +
              " bytes, larger than any list the handheld can hold\n";
    return nullptr;
  }
  if (parser_ == Parser::kPlainFirst) {
    std::string said;  // what the plain reading says counts only when it reads the file whole
    TreeSink tree;
    if (items) items->restart();
    ListParse plain(said, items ? *items : tree, true);
    const PlainResult result = readPlain(file, plain, items ? *items : tree);
    if (result == PlainResult::kRead) {
      message += said;
      if (plain.oldFile()) return nullptr;
      if (items) items->finish();
      return plain.takeList();
    }
    if (result == PlainResult::kReadError || !file.rewind()) {
      message = "Couldn't open file '" + path + "'\n";
      return nullptr;
    }
  }

  TreeSink tree;
  if (items) items->restart();
  ListParse parse(message, items ? *items : tree, false);
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
  if (!parser) {
    message += "Out of memory\n";
    return nullptr;
  }
  XML_SetUserData(parser.get(), &parse);
  XML_SetElementHandler(parser.get(), &ListParse::onStart, &ListParse::onEnd);
  XML_SetCharacterDataHandler(parser.get(), &ListParse::onText);
  XML_SetUnknownEncodingHandler(parser.get(), &cp1252EncodingHandler, nullptr);
  // No external entities or parameter entities are ever loaded.
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

  std::vector<char> block(kFirstBlockBytes);
  uint64_t fed = 0;
  XML_Index lastEvent = -1;
  bool last = false;
  while (!last) {
    const long got = file.fill(block.data(), block.size());
    if (got < 0) {
      message = "Couldn't open file '" + path + "'\n";
      return nullptr;
    }
    if (items) items->read(block.data(), static_cast<size_t>(got));
    last = static_cast<size_t>(got) < block.size();
    fed += static_cast<uint64_t>(got);
    ++parserCalls_;
    if (XML_Parse(parser.get(), block.data(), static_cast<int>(got), last) == XML_STATUS_ERROR) {
      appendParserError(message, parser.get());
      return nullptr;
    }
    const XML_Index event = XML_GetCurrentByteIndex(parser.get());
    if (event != lastEvent) {
      block.resize(kFirstBlockBytes);
    } else if (fed - static_cast<uint64_t>(event < 0 ? 0 : event) > kMaxPieceBytes) {
      message = "Couldn't read file '" + path + "': a piece of markup over " +
                std::to_string(kMaxPieceBytes) + " bytes long, which no list holds\n";
      return nullptr;
    } else {
      block.resize(block.size() * 2);
    }
    lastEvent = event;
  }
  if (parse.oldFile()) return nullptr;
  if (items) items->finish();
  return parse.takeList();
}

std::string lockFilePath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find('.', nameStart);
  return (dot == std::string::npos ? path : path.substr(0, dot)) + "._lk";
}

}  // namespace tolvex
