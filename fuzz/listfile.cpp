// Feeds arbitrary bytes to the list file reader through a file, and writes
// whatever it returns back out as a list file and as a tag file: each must
// be well-formed, and the list file must read again. The plain reader and
// expat alone must give the same answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "desktop/XmlFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in = fuzz::scratchFile("in.xml");
  std::string out = fuzz::scratchFile("out.xml");
  FILE* f = std::fopen(in.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  std::string message;
  std::unique_ptr<tolvex::ItemList> list = tolvex::ListFileReader().read(in, message);
  if (list && !message.empty()) std::abort();  // a list comes only with no message
  if (!list) {
    std::string expatMessage;
    if (tolvex::ListFileReader(tolvex::ListFileReader::Parser::kExpatOnly).read(in, expatMessage)) {
      std::fprintf(stderr, "expat reads a file the plain reader and expat together refuse\n");
      std::abort();
    }
    return 0;
  }

  std::string expatMessage;
  auto expat = tolvex::ListFileReader(tolvex::ListFileReader::Parser::kExpatOnly).read(in, expatMessage);
  if (!expat || expatMessage != message) {
    std::fprintf(stderr, "the plain reader read a file expat reads otherwise: %s", expatMessage.c_str());
    std::abort();
  }

  std::string ignored;
  if (tolvex::ListFileWriter().write(*expat, out, ignored) != 0) std::abort();
  const std::string byExpat = fuzz::readWhole(out);
  if (tolvex::ListFileWriter().write(*list, out, ignored) != 0) std::abort();
  if (fuzz::readWhole(out) != byExpat) {
    std::fprintf(stderr, "the plain reader and expat read different lists\n");
    std::abort();
  }
  fuzz::requireWellFormed(fuzz::readWhole(out), "written list file");
  std::string again;
  if (!tolvex::ListFileReader().read(out, again) || !again.empty()) {
    std::fprintf(stderr, "written file does not read back: %s", again.c_str());
    std::abort();
  }
  if (tolvex::TagFileWriter().write(list.get(), out, ignored) != 0) std::abort();
  fuzz::requireWellFormed(fuzz::readWhole(out), "written tag file");
  return 0;
}
