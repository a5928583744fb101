// Feeds arbitrary bytes to the list file reader through a file, and writes
// whatever it returns back out, which must read again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "desktop/XmlFile.h"

namespace {

std::string scratchFolder() {
  static std::string folder = [] {
    // tmpfs when there is one: the writer syncs every file it writes.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/tolvex-fuzz-listfile-XXXXXX";
    const char* made = mkdtemp(pattern.data());
    if (!made) std::abort();
    return std::string(made);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in = scratchFolder() + "/in.xml";
  std::string out = scratchFolder() + "/out.xml";
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
