// What the fuzz targets that write files share: a scratch folder for this
// process, removed at exit, and the check that a written file is a
// well-formed XML document.
#ifndef TOLVEX_FUZZ_FUZZSUPPORT_H
#define TOLVEX_FUZZ_FUZZSUPPORT_H
#include <expat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace fuzz {

// Plain storage: it must outlive the exit handler that removes the folder.
inline char gFolder[64];

inline void removeScratch() {
  for (const char* name : {"/in.xml", "/out.xml", "/tags.xml"}) unlink((std::string(gFolder) + name).c_str());
  rmdir(gFolder);
}

// tmpfs when there is one: the writers sync every file they write.
inline std::string scratchFile(const char* name) {
  if (gFolder[0] == '\0') {
    std::snprintf(gFolder, sizeof(gFolder), "%s/tolvex-fuzz-XXXXXX",
                  access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    if (!mkdtemp(gFolder)) std::abort();
    std::atexit(removeScratch);
  }
  return std::string(gFolder) + "/" + name;
}

// Aborts unless expat takes `text` as a whole well-formed document.
inline void requireWellFormed(const std::string& text, const char* what) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  if (!ok)
    std::fprintf(stderr, "%s is not well-formed: %s at line %lu\n", what,
                 XML_ErrorString(XML_GetErrorCode(parser)), XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  if (!ok) std::abort();
}

inline std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace fuzz
#endif
