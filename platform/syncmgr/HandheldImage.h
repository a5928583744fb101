// A handheld image: a folder of .pdb files (one per database) and device.ini.
//
// Every well-formed .pdb file is loaded when the image is attached. A file
// that does not parse is reported (on stderr and to the attacher's report
// function) and never written or removed: when its header still names the
// database, the image holds it as unreadable, as a handheld holds a damaged
// database (listed; it cannot be opened, deleted, renamed or replaced);
// otherwise it is skipped. Databases stay in memory; a changed database is
// written back when its last handle closes (or at detach), atomically: a
// temporary file in the same folder, fsync, rename.
//
// Threading: one caller thread, like the Sync Manager interface it serves.
#ifndef TOLVEX_PLATFORM_SYNCMGR_HANDHELDIMAGE_H
#define TOLVEX_PLATFORM_SYNCMGR_HANDHELDIMAGE_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/syncmgr/PdbFile.h"

namespace tolvex {

// What device.ini says about the handheld.
struct DeviceInfo {
  bool hasUser = false;
  std::string userName;  // UTF-8 as stored
  uint32_t userId = 0;
  std::string api = "2.2";
  bool moduleInstalled = true;
  std::string moduleVersion = "1.1";
  std::string encoding = "ISO-8859-1";
  uint32_t lastDesktop = 0;  // 0: never
};

// One database of the image. While no handle is open and its file holds it
// whole, its records are let go (`released`) and read back when it is opened
// again: a large list is then held in memory only while it is in use. A
// released database that is renamed is written as its file with a new header.
struct ImageDatabase {
  PdbFile pdb;
  std::string path;  // its file; empty until first written
  bool dirty = false;
  int opens = 0;
  bool released = false;
  size_t releasedCount = 0;  // its records while released
  std::string recordsFile;   // while released: the file that holds them
  // Non-empty: why the records of its file cannot be read. Only the header
  // fields are held, and the file is never changed.
  std::string fault;
  bool unreadable() const { return !fault.empty(); }
  size_t recordCount() const { return released ? releasedCount : pdb.recordCount(); }
};

// Hears of every file the image skipped or could not write, in plain words
// (the same text also goes to stderr).
using ImageReport = std::function<void(const std::string& text)>;

class HandheldImage {
 public:
  static constexpr int kMaxOpen = 32;

  // Reads device.ini and loads the databases of `folder`; nothing on failure
  // (the reason in *error).
  static std::unique_ptr<HandheldImage> attach(const std::string& folder, std::string* error,
                                               ImageReport report = nullptr);
  // Makes `folder` (when missing) and writes its device.ini with defaults.
  static bool createImage(const std::string& folder, const char* userName, std::string* error);

  HandheldImage(const HandheldImage&) = delete;
  HandheldImage& operator=(const HandheldImage&) = delete;
  ~HandheldImage();

  const DeviceInfo& device() const { return device_; }
  bool setLastDesktop(uint32_t desktopId);

  // Databases in list order (by name).
  std::vector<const ImageDatabase*> databases() const;
  size_t databaseCount() const { return databases_.size(); }
  bool exists(const std::string& name) const { return databases_.count(name) != 0; }

  // Results are SYNCERR_* codes; an unreadable database answers SYNCERR_IO
  // to open and remove.
  long open(const std::string& name, uint8_t mode, uint8_t* handle);
  long create(PdbFile pdb, uint8_t* handle);
  long close(uint8_t handle);
  long remove(const std::string& name);
  // The open database behind `handle`, or nothing (*error set).
  ImageDatabase* opened(uint8_t handle, bool forWrite, long* error);
  // Copies the database file `source` into the image byte for byte, under the
  // image's file name for its header name. Refuses (SYNCERR_BAD_ARG) a symbolic
  // link, anything but a regular file and a file that does not parse, and
  // (SYNCERR_EXISTS) a name the image already holds. *name gets the header
  // name when the file parsed, *error the reason of a refusal.
  long importFile(const std::string& source, std::string* name, std::string* error);
  // Renames a database (header and file); answers a module result code.
  uint32_t rename(const std::string& oldName, const std::string& newName);
  // The creation date for a new database: now, but never a date this
  // process has handed out, and later than every database of the image.
  uint32_t newCreationDate() const;
  // Writes back every changed database; false when one could not be written.
  bool flush();
  // Databases whose write-back failed at least once since attaching.
  size_t writeFailures() const { return writeFailures_.size(); }
  // The last write-back before detaching: tries every changed database once
  // more, then gives up what still could not be written (those files keep
  // their earlier contents). Answers writeFailures().
  size_t finish();

  static uint32_t now1904();

 private:
  struct Handle {
    ImageDatabase* db = nullptr;
    bool writable = false;
  };
  explicit HandheldImage(std::string folder) : folder_(std::move(folder)) {}
  bool readDevice(std::string* error);
  void loadDatabases();
  void loadFile(const std::string& path);
  bool writeBack(ImageDatabase& db);
  // Lets go of a clean database's records / reads them back from its file.
  void release(ImageDatabase& db);
  bool ensureLoaded(ImageDatabase& db);
  std::string freePath(const std::string& name) const;
  long takeHandle(ImageDatabase* db, bool writable, uint8_t* handle);
  void report(const std::string& text) const;

  std::string folder_;
  ImageReport report_;
  std::set<std::string> writeFailures_;  // database names
  DeviceInfo device_;
  std::map<std::string, std::unique_ptr<ImageDatabase>> databases_;
  std::array<Handle, 256> handles_{};
  int openCount_ = 0;
};

// File name of a database: `/`, `%`, control bytes, bytes from 0x80 up and a
// leading `.` percent-encoded, then ".pdb".
std::string databaseFileName(const std::string& name);

}  // namespace tolvex

#endif
