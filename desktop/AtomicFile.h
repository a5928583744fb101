// Replaces a file whole or not at all: the text goes to a temporary file in
// the target's folder, which is flushed to disk and renamed over the target.
// Until `commit` succeeds the target is untouched; a temporary file left over
// by a failure is removed. One object per file, used from one thread; the
// bytes of a large file are written by a thread of the object's own, which
// ends before `commit` returns or the object is gone.
#ifndef TOLVEX_DESKTOP_ATOMICFILE_H
#define TOLVEX_DESKTOP_ATOMICFILE_H
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();  // discards an uncommitted temporary file
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file; false when it cannot be created.
  bool open();
  // Buffered; a failed write is remembered and reported by commit.
  void write(std::string_view text);
  // Flushes, syncs and renames into place; false when any step failed.
  // `beforeReplace`, when given, runs once the new text is on disk whole and
  // just before it takes the target's place; it does not run when the text
  // could not be written. When it answers false the target stays as it is.
  bool commit(const std::function<bool()>& beforeReplace = nullptr);

  // The temporary files in `folder` that writers of this program left when
  // their process was killed (it no longer runs, or it is this one: none of
  // them is open between runs), for targets that `ours` accepts. Names only.
  static std::vector<std::string> abandonedIn(const std::string& folder,
                                              const std::function<bool(const std::string& target)>& ours);

 private:
  class WriteBehind;
  bool flush();
  void discard();

  std::string path_;
  std::string tempPath_;
  std::string buffer_;
  int fd_ = -1;
  bool failed_ = false;
  std::unique_ptr<WriteBehind> behind_;  // once the file is large: writes the full buffers
  size_t flushed_ = 0;   // bytes handed on from buffer_
};

}  // namespace tolvex
#endif
