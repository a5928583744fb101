// Feeds arbitrary bytes to the list file reader through a file, and writes
// whatever it returns back out, which must read again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "desktop/XmlFile.h"

namespace {

// Plain storage: it must outlive the exit handler that removes the folder.
char gFolder[64];

void removeScratch() {
  unlink((std::string(gFolder) + "/in.xml").c_str());
  unlink((std::string(gFolder) + "/out.xml").c_str());
  rmdir(gFolder);
}

const char* scratchFolder() {
  if (gFolder[0] == '\0') {
    // tmpfs when there is one: the writer syncs every file it writes.
    std::snprintf(gFolder, sizeof(gFolder), "%s/tolvex-fuzz-listfile-XXXXXX",
                  access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    if (!mkdtemp(gFolder)) std::abort();
    std::atexit(removeScratch);
  }
  return gFolder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in = std::string(scratchFolder()) + "/in.xml";
  std::string out = std::string(scratchFolder()) + "/out.xml";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  std::string message;
  std::unique_ptr<tolvex::ItemList> list = tolvex::ListFileReader().read(in, message);
  if (list && !message.empty()) std::abort();  // a list comes only with no message
  if (!list) return 0;

  std::string ignored;
  if (tolvex::ListFileWriter().write(*list, out, ignored) != 0) std::abort();
  std::string again;
  if (!tolvex::ListFileReader().read(out, again) || !again.empty()) {
    std::fprintf(stderr, "written file does not read back: %s", again.c_str());
    std::abort();
  }
  return 0;
}
