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

void appendRule(std::string& out, const FilterRule& rule) {
  const FilterOperation* op = findFilterOperation(rule.operation);
  std::string value = rule.text ? escapeXmlAttribute(*rule.text) : std::to_string(rule.number);
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

std::string FilterFileWriter::format(const Filter* chain) {
  std::string out;
  if (!chain) return out;
  out += "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n";
  out += "<TolvexFiltersFile>\n";
  for (const Filter* filter = chain; filter; filter = filter->next.get()) {
    out += "  <filter title=\"" + escapeXmlAttribute(filter->title) + "\"";
    append(out, " uniqueID=\"%u\" flags=\"%u\">\n", filter->uniqueID,
           static_cast<unsigned>(filter->flags));
    for (const FilterRule* rule = filter->rules.get(); rule; rule = rule->next.get())
      appendRule(out, *rule);
    out += "  </filter>\n";
  }
  out += "</TolvexFiltersFile>\n";
  return out;
}

int FilterFileWriter::write(const Filter* chain, const std::string& path, std::string& /*message*/) {
  if (!chain) return 0;   // no filter: the old file, if any, stays
  return replaceFile(path, format(chain)) ? 0 : kCannotCreate;
}

}  // namespace tolvex
