// The desktop filter file, replaced whole: written to a temporary file beside
// it, flushed to disk and renamed into place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "desktop/TextEncoding.h"
#include "export/Export.h"

namespace tolvex {

namespace {

constexpr int kCannotCreate = -2;

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* format, ...) {
  char buffer[128];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

// An attribute value as the file can hold it: escaped, and without what XML
// cannot carry; `dropped` adds what was left out.
std::string attribute(const std::string& text, size_t& dropped) {
  size_t left = 0;
  std::string out = xmlSafeLatin1(escapeXmlAttribute(text), &left);
  dropped += left;
  return out;
}

// `dropped` adds what the rule's text value lost.
void appendRule(std::string& out, const FilterRule& rule, size_t& dropped) {
  const FilterOperation* op = findFilterOperation(rule.operation);
  std::string value = rule.text ? attribute(*rule.text, dropped) : std::to_string(rule.number);
  out += "    <filterRule operation=\"" + std::to_string(rule.operation) + "\" hint=\"";
  out += op ? op->name : "(error!)";
  out += "\" relation=\"" + std::to_string(rule.relation) + "\" value=\"" + value + "\"";
  append(out, " flags=\"%d\" group=\"%d\"/>\n", rule.flags, rule.group);
}

bool writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces `path` with `text`, or leaves it as it was.
bool replaceFile(const std::string& path, const std::string& text) {
  std::string temp = path + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

std::string FilterFileWriter::format(const Filter* chain, LeftOut* leftOut) {
  std::string out;
  if (!chain) return out;
  out += "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n";
  out += "<TolvexFiltersFile>\n";
  for (const Filter* filter = chain; filter; filter = filter->next.get()) {
    size_t dropped = 0;
    std::string title = attribute(filter->title, dropped);
    out += "  <filter title=\"" + title + "\"";
    append(out, " uniqueID=\"%u\" flags=\"%u\">\n", filter->uniqueID,
           static_cast<unsigned>(filter->flags));
    for (const FilterRule* rule = filter->rules.get(); rule; rule = rule->next.get())
      appendRule(out, *rule, dropped);
    out += "  </filter>\n";
    if (leftOut) leftOut->add(dropped, filter->uniqueID, title);
  }
  out += "</TolvexFiltersFile>\n";
  return out;
}

int FilterFileWriter::write(const Filter* chain, const std::string& path, std::string& /*message*/) {
  leftOut_ = LeftOut();
  if (!chain) return 0;   // no filter: the old file, if any, stays
  LeftOut leftOut;
  if (!replaceFile(path, format(chain, &leftOut))) return kCannotCreate;
  leftOut_ = leftOut;
  return 0;
}

}  // namespace tolvex
