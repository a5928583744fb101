// Writes an ItemList as a desktop list file.
#include <charconv>
#include <cstdio>

#include "desktop/AtomicFile.h"
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"

namespace tolvex {
namespace {

constexpr size_t kMaxEncodingName = 31;

const char* yesNo(bool f) { return f ? "yes" : "no"; }

// Builds the lines of one item into the file's buffer.
class ItemLines {
 public:
  ItemLines(AtomicFile& file, LeftOut& leftOut) : file_(file), leftOut_(leftOut) {}

  void start(const ListNode& n, int depth) {
    setDepth(depth);
    DispOverride o = n.dispOverride();
    indent(2);
    line_.clear();
    line_ += "<item uniqueID=\"";
    appendNumber(n.uniqueID());
    line_ += "\" dirtyContent=\"";
    line_ += n.dirtyContent() ? '1' : '0';
    line_ += "\" dirtyPosition=\"";
    line_ += n.dirtyPosition() ? '1' : '0';
    line_ += "\" deleted=\"";
    line_ += n.deleted() ? '1' : '0';
    appendFlag("checked", n.checked());
    appendFlag("expanded", n.expanded());
    appendFlag("expandedMemo", n.expandedMemo());
    appendFlag("expandedLinks", n.expandedLinks());
    line_ += "\" priority=\"";
    appendNumber(n.priority());
    line_ += "\" progress=\"";
    appendNumber(n.progress());
    line_ += "\" autoNumber=\"";
    appendNumber(n.autoNumber());
    line_ += "\" alarmID=\"";
    appendNumber(n.alarmID());
    line_ += "\" dispColour=\"";
    appendNumber(n.dispColour());
    appendFlag("dispBold", n.dispBold());
    line_ += "\" dispOverride=\"";
    appendNumber(o.kind);
    line_ += ':';
    appendNumber(o.value);
    line_ += '"';
    file_.write(line_);
    dropped_ = 0;
    firstText_.clear();
    if (n.localID()) {
      file_.write(" localID=\"");
      file_.write(safe(escapeXmlAttribute(*n.localID())));
      file_.write("\"");
    }
    file_.write(">\n");
    if (n.hasTitle()) text("title", n.title());
    number("hhCreateTime", n.hhCreateTime());
    number("hhTargetTime", n.hhTargetTime());
    number("hhStartTime", n.hhStartTime());
    number("hhFinishTime", n.hhFinishTime());
    if (n.hasNote()) text("note", n.note());
    if (n.linkFile()) text("linkFile", *n.linkFile());
    leftOut_.add(dropped_, n.uniqueID(), firstText_);
    if (n.linkToDo() != 0) link("linkToDo", n.linkToDo());
    if (n.linkDatebook() != 0) link("linkDatebook", n.linkDatebook());
    for (const EabLink& e : n.linkEAB()) {
      indent(4);
      line_.assign("<linkEAB eabType=\"");
      appendNumber(e.eabType);
      line_ += "\" eabID=\"";
      appendNumber(e.eabID);
      line_ += "\"/>\n";
      file_.write(line_);
    }
  }

  void end(int depth) {
    setDepth(depth);
    indent(2);
    file_.write("</item>\n");
  }

 private:
  void setDepth(int depth) { width_ = 2 * (depth % 256); }

  // The text as the file can hold it; counts what it could not.
  std::string safe(const std::string& escaped) {
    size_t dropped = 0;
    std::string out = xmlSafeUtf8(escaped, &dropped);
    if (dropped > 0 && dropped_ == 0) firstText_ = out;
    dropped_ += dropped;
    return out;
  }

  // Numbers in decimal, as "%d" and "%u" write them.
  void appendNumber(int64_t value) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    line_.append(digits, static_cast<size_t>(end - digits));
  }
  void appendFlag(const char* name, bool f) {
    line_ += "\" ";
    line_ += name;
    line_ += "=\"";
    line_ += yesNo(f);
  }

  // A text element: text that needs no escaping and holds nothing XML
  // cannot (plain ASCII without markup characters) goes out as it stands.
  void text(const char* name, const std::string& value) {
    for (unsigned char c : value) {
      if (c < 0x20 ? (c != '\t' && c != '\n') : (c >= 0x80 || c == '&' || c == '<' || c == '>')) {
        element(name, safe(encodeListText(value)));
        return;
      }
    }
    element(name, value);
  }

  void element(const char* name, const std::string& text) {
    indent(4);
    file_.write("<");
    file_.write(name);
    file_.write(">");
    file_.write(text);
    file_.write("</");
    file_.write(name);
    file_.write(">\n");
  }

  void number(const char* name, uint32_t value) {
    indent(4);
    line_.assign("<");
    line_ += name;
    line_ += '>';
    appendNumber(value);
    line_ += "</";
    line_ += name;
    line_ += ">\n";
    file_.write(line_);
  }

  void link(const char* name, uint32_t id) {
    indent(4);
    line_.assign("<");
    line_ += name;
    line_ += " ID=\"";
    appendNumber(id);
    line_ += "\"/>\n";
    file_.write(line_);
  }

  // The item's lines start with 2 + W spaces, its child elements with 4 + W,
  // where W is twice the depth modulo 256.
  void indent(size_t base) {
    static const std::string spaces(4 + 2 * 255, ' ');
    file_.write(std::string_view(spaces).substr(0, base + static_cast<size_t>(width_)));
  }

  AtomicFile& file_;
  LeftOut& leftOut_;
  std::string line_;        // the line being built
  size_t dropped_ = 0;      // characters the current item lost
  std::string firstText_;   // its first text that lost some
  int width_ = 0;
};

}  // namespace

ListFileWriter::ListFileWriter(std::string encoding) : encoding_(std::move(encoding)) {
  if (encoding_.size() > kMaxEncodingName) encoding_.resize(kMaxEncodingName);
}

ListFileWriter::~ListFileWriter() = default;

int ListFileWriter::write(const ItemList& list, const std::string& path, std::string& /*message*/,
                          const std::function<bool()>& beforeReplace) {
  if (!draft(list, path)) return -2;
  return commit(beforeReplace);
}

int ListFileWriter::commit(const std::function<bool()>& beforeReplace) {
  if (!draft_) return -2;
  const bool ok = draft_->commit(beforeReplace);
  draft_.reset();
  return ok ? 0 : -2;
}

bool ListFileWriter::draft(const ItemList& list, const std::string& path) {
  leftOut_ = LeftOut();
  draft_ = std::make_unique<AtomicFile>(path);
  AtomicFile& file = *draft_;
  if (!file.open()) {
    draft_.reset();
    return false;
  }
  file.write("<?xml version=\"1.0\" encoding=\"" + encoding_ + "\"?>\n");
  char root[128];
  std::snprintf(root, sizeof(root), "<TolvexFile uniqueTime=\"%lu\" uploadFile=\"%u\">\n",
                static_cast<unsigned long>(list.uniqueTime()), static_cast<unsigned>(list.uploadFile()));
  file.write(root);

  // Pre-order without recursion: an item's lines, its children, its end line.
  ItemLines lines(file, leftOut_);
  ListNode* n = list.head();
  int depth = 0;
  while (n) {
    lines.start(*n, depth);
    if (n->firstChild()) {
      n = n->firstChild();
      ++depth;
      continue;
    }
    lines.end(depth);
    while (n && !n->next()) {
      n = n->parent();
      --depth;
      if (n) lines.end(depth);
    }
    if (n) n = n->next();
  }
  file.write("</TolvexFile>\n");
  return true;
}

}  // namespace tolvex
