// Reading the desktop folder's files safely: opened without blocking, so a
// FIFO or a device named like one of the conduit's files cannot stall a run,
// and used only when it is a regular file (a link to one is followed).
#ifndef TOLVEX_DESKTOP_REGULARFILE_H
#define TOLVEX_DESKTOP_REGULARFILE_H
#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvex {

// An open descriptor for reading (the caller closes it), or -1 with the
// reason in `why`. `size` (may be null) gets the file's size.
int openRegularFile(const std::string& path, std::string* why, uint64_t* size = nullptr);
// Reads up to `size` bytes, fewer only at the end of the file; -1 on an error.
long readUpTo(int fd, char* buffer, size_t size);
// The whole file, when it is a regular file of at most `limit` bytes.
bool readRegularFile(const std::string& path, uint64_t limit, std::string* bytes, std::string* why);

}  // namespace tolvex
#endif
