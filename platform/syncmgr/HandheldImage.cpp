#include "platform/syncmgr/HandheldImage.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include <wx/fileconf.h>
#include <wx/mstream.h>
#include <wx/strconv.h>

#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

constexpr uint32_t kEpoch1904 = 2082844800u;  // seconds from 1904-01-01 to 1970-01-01
constexpr size_t kMaxFileSize = 64u << 20;   // far above any handheld database
constexpr const char* kDeviceFile = "device.ini";

// Handheld sync module result codes (the handheld's data manager errors).
constexpr uint32_t kModuleInvalidParam = 0x0203;
constexpr uint32_t kModuleCantFind = 0x0207;
constexpr uint32_t kModuleCorruptDatabase = 0x0209;
constexpr uint32_t kModuleAlreadyExists = 0x0219;
constexpr uint32_t kModuleWriteFailed = 0x0201;

// Creation dates this process handed out or saw deleted, so a replacement
// database never gets the date of the one it replaces.
std::set<uint32_t>& usedCreationDates() {
  static std::set<uint32_t> dates;
  return dates;
}

std::string errnoText() { return std::strerror(errno); }

// Reads up to `size` bytes, fewer only at the end of the file; -1 on an error.
long readUpTo(int fd, uint8_t* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

// Non-blocking open, so a FIFO or device named like a database cannot stall
// the reader before the regular-file check turns it away.
bool readWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   bool followLinks = true) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    *error = !followLinks && errno == ELOOP ? "is a symbolic link" : "cannot be read: " + errnoText();
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = "is not a regular file";
    return false;
  }
  if (static_cast<size_t>(st.st_size) > kMaxFileSize) {
    ::close(fd);
    *error = "is too large for a handheld database";
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  // A read error is no end of file: a database cut short by one must not
  // pass for a whole one.
  const long got = readUpTo(fd, bytes->data(), bytes->size());
  const std::string why = got < 0 ? errnoText() : std::string();
  ::close(fd);
  if (got < 0) {
    *error = "cannot be read: " + why;
    return false;
  }
  bytes->resize(static_cast<size_t>(got));
  return true;
}

// The bytes a writer produces, gathered into blocks before they go out.
class FileSink {
 public:
  explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kBlock); }
  bool write(const uint8_t* bytes, size_t size) {
    if (buffer_.size() + size > kBlock && !flush()) return false;
    if (size >= kBlock) return writeAll(bytes, size);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    return true;
  }
  bool flush() {
    const bool ok = writeAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;
  // Written bytes are handed to the disk every this many while the file is
  // still being written, so that the fsync before the rename has little left.
  static constexpr off_t kWritebackBytes = 4 << 20;
  bool writeAll(const uint8_t* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, bytes + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    written_ += static_cast<off_t>(done);
    if (written_ - handedOn_ >= kWritebackBytes) {
      ::sync_file_range(fd_, handedOn_, written_ - handedOn_, SYNC_FILE_RANGE_WRITE);
      handedOn_ = written_;
    }
    return true;
  }
  int fd_;
  std::vector<uint8_t> buffer_;
  off_t written_ = 0;   // bytes written to the file
  off_t handedOn_ = 0;  // of those, the ones whose writeback was started
};

using Producer = std::function<bool(const PdbFile::ByteSink& write)>;

// Temporary file in the same folder, fsync, rename; the old file stays whole
// until the new one is complete. `produce` writes the bytes.
bool writeFileAtomically(const std::string& path, const Producer& produce) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = dir + "/." + base + ".tmp" + std::to_string(getpid());
  // Never through a link or into a file someone else holds: a leftover of
  // that name (an earlier run with the same process id) is removed first.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(temp.c_str(), flags, 0644);
  if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0) fd = ::open(temp.c_str(), flags, 0644);
  if (fd < 0) return false;
  FileSink sink(fd);
  bool ok = produce([&sink](const uint8_t* bytes, size_t size) { return sink.write(bytes, size); }) && sink.flush();
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  return writeFileAtomically(path, [&bytes](const PdbFile::ByteSink& write) { return write(bytes.data(), bytes.size()); });
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

wxString fromUtf8(const std::string& s) { return wxString::FromUTF8(s.data(), s.size()); }
std::string toUtf8(const wxString& s) {
  const wxScopedCharBuffer b = s.utf8_str();
  return std::string(b.data(), b.length());
}

// device.ini goes through streams, so no application object or standard
// paths are needed, and it is written back atomically like the databases.
std::unique_ptr<wxFileConfig> openConfig(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string ignored;
  if (fileExists(path)) readWholeFile(path, &bytes, &ignored);
  wxMemoryInputStream in(bytes.data(), bytes.size());
  return std::make_unique<wxFileConfig>(in, wxConvUTF8);
}

bool saveConfig(wxFileConfig& config, const std::string& path) {
  wxMemoryOutputStream out;
  if (!config.Save(out, wxConvUTF8)) return false;
  std::vector<uint8_t> bytes(out.GetSize());
  if (!bytes.empty()) out.CopyTo(bytes.data(), bytes.size());
  return writeFileAtomically(path, bytes);
}

// A released database's file under the header of its fields now: what
// follows the header does not change when only header fields do.
bool copyUnderNewHeader(const ImageDatabase& db, const PdbFile::ByteSink& write) {
  const int fd = ::open(db.recordsFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::vector<uint8_t> block(64 * 1024);
  // The file must still be the one the records were released from.
  bool ok = readUpTo(fd, block.data(), PdbFile::kHeaderSize) == static_cast<long>(PdbFile::kHeaderSize) &&
            readBe16(block.data() + PdbFile::kNumRecordsOffset) == db.releasedCount;
  if (ok) {
    db.pdb.writeHeader(block.data(), db.releasedCount);
    ok = write(block.data(), PdbFile::kHeaderSize);
  }
  long n = 0;
  while (ok && (n = readUpTo(fd, block.data(), block.size())) > 0) ok = write(block.data(), static_cast<size_t>(n));
  ::close(fd);
  return ok && n == 0;
}

bool parseNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

std::string databaseFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() + 4);
  for (unsigned char c : name) {
    // A leading '.' too: the loader passes over hidden files, and a database
    // whose file were one would be gone at the next attach.
    if (c == '/' || c == '%' || c < 0x20 || c >= 0x7F || (c == '.' && out.empty())) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + ".pdb";
}

uint32_t HandheldImage::now1904() {
  return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) + kEpoch1904);
}

std::unique_ptr<HandheldImage> HandheldImage::attach(const std::string& folder, std::string* error,
                                                     ImageReport report) {
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = folder + ": no such folder";
    return nullptr;
  }
  std::unique_ptr<HandheldImage> image(new HandheldImage(folder));
  image->report_ = std::move(report);
  if (!image->readDevice(error)) return nullptr;
  image->loadDatabases();
  return image;
}

bool HandheldImage::createImage(const std::string& folder, const char* userName, std::string* error) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = folder + ": cannot create folder: " + errnoText();
    return false;
  }
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = folder + ": not a folder";
    return false;
  }
  const std::string path = folder + "/" + kDeviceFile;
  // A new image starts from the defaults.
  wxMemoryInputStream empty("", 0);
  auto config = std::make_unique<wxFileConfig>(empty, wxConvUTF8);
  DeviceInfo defaults;
  if (userName) {
    config->Write("/user/name", fromUtf8(userName));
    config->Write("/user/id", wxString("1"));
  }
  config->Write("/syncmgr/api", fromUtf8(defaults.api));
  config->Write("/module/installed", wxString("yes"));
  config->Write("/module/version", fromUtf8(defaults.moduleVersion));
  config->Write("/module/encoding", fromUtf8(defaults.encoding));
  config->Write("/sync/last_desktop", wxString());
  if (!saveConfig(*config, path)) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

HandheldImage::~HandheldImage() { flush(); }

bool HandheldImage::readDevice(std::string* error) {
  const std::string path = folder_ + "/" + kDeviceFile;
  if (!fileExists(path)) {
    *error = path + ": missing (not a handheld image)";
    return false;
  }
  auto config = openConfig(path);
  auto text = [&](const char* key, const std::string& fallback) {
    wxString value;
    return config->Read(key, &value) ? toUtf8(value) : fallback;
  };
  device_.hasUser = config->HasGroup("user");
  device_.userName = text("/user/name", "");
  parseNumber(text("/user/id", "0"), &device_.userId);
  device_.api = text("/syncmgr/api", device_.api);
  std::string installed = text("/module/installed", "yes");
  std::transform(installed.begin(), installed.end(), installed.begin(), ::tolower);
  device_.moduleInstalled = installed == "yes" || installed == "true" || installed == "1";
  device_.moduleVersion = text("/module/version", device_.moduleVersion);
  device_.encoding = text("/module/encoding", device_.encoding);
  uint32_t last = 0;
  device_.lastDesktop = parseNumber(text("/sync/last_desktop", ""), &last) ? last : 0;
  return true;
}

bool HandheldImage::setLastDesktop(uint32_t desktopId) {
  const std::string path = folder_ + "/" + kDeviceFile;
  auto config = openConfig(path);
  config->Write("/sync/last_desktop", wxString(std::to_string(desktopId)));
  if (!saveConfig(*config, path)) return false;
  device_.lastDesktop = desktopId;
  return true;
}

namespace {

// A database file: "*.pdb" in any case, as a backup copied in from another
// system may name it ("*.PDB"); one passed over would look deleted.
bool databaseFile(const std::string& name) {
  return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".pdb") == 0;
}

// ".<file>.tmp<pid>", as writeFileAtomically names it, for a database file
// or device.ini, written by a process that no longer runs (or by this one:
// it writes none while it attaches).
bool abandonedTemporary(const std::string& name) {
  const size_t tmp = name.rfind(".tmp");
  if (name.empty() || name[0] != '.' || tmp == std::string::npos || tmp < 2) return false;
  const std::string target = name.substr(1, tmp - 1), pid = name.substr(tmp + 4);
  const bool ours = target == kDeviceFile || databaseFile(target);
  if (!ours || pid.empty() || pid.size() > 18 || pid.find_first_not_of("0123456789") != std::string::npos) return false;
  const long process = std::strtol(pid.c_str(), nullptr, 10);
  return process == static_cast<long>(getpid()) || (process > 0 && ::kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH);
}

}  // namespace

void HandheldImage::loadDatabases() {
  DIR* dir = ::opendir(folder_.c_str());
  if (!dir) return;
  std::vector<std::string> names, leftovers;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name[0] != '.' && databaseFile(name))
      names.push_back(name);
    else if (abandonedTemporary(name))
      leftovers.push_back(name);
  }
  for (const std::string& name : leftovers) {
    const std::string path = folder_ + "/" + name;
    if (::unlink(path.c_str()) == 0) report(path + ": removed, left by an interrupted run");
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) loadFile(folder_ + "/" + name);
}

void HandheldImage::loadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string fault;
  std::optional<PdbFile> pdb;
  if (readWholeFile(path, &bytes, &fault)) pdb = PdbFile::parse(bytes.data(), bytes.size(), &fault);
  // A damaged database whose header still names it stays known under its
  // name, so that nothing takes its place and a reader of it hears it fails.
  const std::string damage = pdb ? std::string() : fault;
  if (!pdb) pdb = PdbFile::parseHeaderFields(bytes.data(), bytes.size(), nullptr);
  if (!pdb) {
    report(path + ": " + fault + "; skipped, file left unchanged");
    return;
  }
  auto it = databases_.find(pdb->name);
  if (it != databases_.end()) {
    const std::string why = damage.empty() ? "database \"" + pdb->name + "\" is already in " + it->second->path : damage;
    report(path + ": " + why + "; skipped, file left unchanged");
    // Either file may hold what the user last wrote on the handheld: the
    // database is used from neither, and neither is changed.
    ImageDatabase& first = *it->second;
    if (!first.unreadable()) {
      first.fault = "database \"" + pdb->name + "\" is also in " + path;
      report(first.path + ": " + first.fault + "; database \"" + pdb->name +
             "\" cannot be opened until one of the two files is moved out of the image, file left unchanged");
    }
    return;
  }
  if (!damage.empty())
    report(path + ": " + damage + "; database \"" + pdb->name + "\" cannot be opened, file left unchanged");
  auto db = std::make_unique<ImageDatabase>();
  db->pdb = std::move(*pdb);
  db->path = path;
  db->fault = damage;
  const std::string name = db->pdb.name;
  databases_.emplace(name, std::move(db));
}

long HandheldImage::importFile(const std::string& source, std::string* name, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!readWholeFile(source, &bytes, error, false)) return SYNCERR_BAD_ARG;
  std::optional<PdbFile> pdb = PdbFile::parse(bytes.data(), bytes.size(), error);
  if (!pdb) return SYNCERR_BAD_ARG;
  *name = pdb->name;
  auto it = databases_.find(pdb->name);
  if (it != databases_.end()) {
    *error = "the image already holds database \"" + pdb->name + "\" (" + it->second->path + ")";
    return SYNCERR_EXISTS;
  }
  // The file name comes from the header name, percent-encoded, so no name can
  // reach outside the folder; checked again here because a copy that escaped
  // would write where the user never asked.
  const std::string path = freePath(pdb->name);
  const std::string file = path.substr(folder_.size() + 1);
  if (file.find('/') != std::string::npos || file == "." || file == "..") {
    *error = "database name \"" + pdb->name + "\" makes no file name inside the image";
    return SYNCERR_BAD_ARG;
  }
  // The bytes go in unchanged: dates, modification number and seed are the
  // backup's, so the conduit sees the same databases the handheld held.
  if (!writeFileAtomically(path, bytes)) {
    *error = path + ": cannot be written: " + errnoText();
    return SYNCERR_IO;
  }
  auto db = std::make_unique<ImageDatabase>();
  db->pdb = std::move(*pdb);
  db->path = path;
  databases_.emplace(db->pdb.name, std::move(db));
  return SYNCERR_NONE;
}

std::vector<const ImageDatabase*> HandheldImage::databases() const {
  std::vector<const ImageDatabase*> out;
  out.reserve(databases_.size());
  for (const auto& [name, db] : databases_) out.push_back(db.get());
  return out;
}

long HandheldImage::takeHandle(ImageDatabase* db, bool writable, uint8_t* handle) {
  for (size_t h = 1; h < handles_.size(); ++h) {
    if (handles_[h].db) continue;
    handles_[h] = Handle{db, writable};
    ++db->opens;
    ++openCount_;
    *handle = static_cast<uint8_t>(h);
    return SYNCERR_NONE;
  }
  return SYNCERR_TOO_MANY;
}

long HandheldImage::open(const std::string& name, uint8_t mode, uint8_t* handle) {
  if (!(mode & (SYNC_MODE_READ | SYNC_MODE_WRITE))) return SYNCERR_BAD_ARG;
  auto it = databases_.find(name);
  if (it == databases_.end()) return SYNCERR_NOT_FOUND;
  if (it->second->unreadable()) return SYNCERR_IO;
  if (openCount_ >= kMaxOpen) return SYNCERR_TOO_MANY;
  if (!ensureLoaded(*it->second)) return SYNCERR_IO;
  return takeHandle(it->second.get(), (mode & SYNC_MODE_WRITE) != 0, handle);
}

uint32_t HandheldImage::newCreationDate() const {
  std::set<uint32_t> taken = usedCreationDates();
  for (const auto& [name, db] : databases_) taken.insert(db->pdb.createDate);
  uint32_t date = now1904();
  if (!usedCreationDates().empty()) date = std::max(date, *usedCreationDates().rbegin() + 1);
  // Later than every database here, so a rebuilt list's date follows the one
  // it replaces even when the clock went back or an earlier run made a
  // database in this same second: a date a list had before (which a backup
  // of its desktop file may still carry) is never handed out again.
  if (!taken.empty() && *taken.rbegin() != UINT32_MAX) date = std::max(date, *taken.rbegin() + 1);
  while (taken.count(date)) ++date;
  return date;
}

long HandheldImage::create(PdbFile pdb, uint8_t* handle) {
  if (databases_.count(pdb.name)) return SYNCERR_EXISTS;
  if (openCount_ >= kMaxOpen) return SYNCERR_TOO_MANY;
  pdb.createDate = pdb.modDate = newCreationDate();
  usedCreationDates().insert(pdb.createDate);
  // Seeds differ between databases so a rebuilt list does not reuse the IDs
  // of the one it replaces.
  pdb.uniqueIdSeed = (pdb.createDate & 0x3FFF) << 8;
  auto db = std::make_unique<ImageDatabase>();
  db->pdb = std::move(pdb);
  db->path = freePath(db->pdb.name);
  db->dirty = true;
  ImageDatabase* raw = db.get();
  databases_.emplace(raw->pdb.name, std::move(db));
  return takeHandle(raw, true, handle);
}

std::string HandheldImage::freePath(const std::string& name) const {
  const std::string file = databaseFileName(name);
  std::string path = folder_ + "/" + file;
  // A file we did not load (a damaged one, say) is never overwritten.
  auto ours = [&](const std::string& p) {
    for (const auto& [n, db] : databases_)
      if (db->path == p) return true;
    return false;
  };
  for (int n = 2; fileExists(path) || ours(path); ++n)
    path = folder_ + "/" + file.substr(0, file.size() - 4) + "~" + std::to_string(n) + ".pdb";
  return path;
}

ImageDatabase* HandheldImage::opened(uint8_t handle, bool forWrite, long* error) {
  const Handle& h = handles_[handle];
  if (handle == 0 || !h.db) {
    *error = SYNCERR_NOT_OPEN;
    return nullptr;
  }
  if (forWrite && !h.writable) {
    *error = SYNCERR_READ_ONLY;
    return nullptr;
  }
  *error = SYNCERR_NONE;
  return h.db;
}

long HandheldImage::close(uint8_t handle) {
  long error;
  ImageDatabase* db = opened(handle, false, &error);
  if (!db) return error;
  handles_[handle] = Handle{};
  --openCount_;
  if (--db->opens > 0) return SYNCERR_NONE;
  if (!writeBack(*db)) return SYNCERR_IO;
  release(*db);
  return SYNCERR_NONE;
}

void HandheldImage::release(ImageDatabase& db) {
  if (db.released || db.dirty || db.opens > 0 || db.path.empty() || !fileExists(db.path)) return;
  db.releasedCount = db.pdb.recordCount();
  db.recordsFile = db.path;
  db.pdb.clearRecords();
  db.released = true;
}

// The file was written from these records (or they were read from it), and
// the image's folder is held by this run: it reads back the same.
bool HandheldImage::ensureLoaded(ImageDatabase& db) {
  if (!db.released) return true;
  std::vector<uint8_t> bytes;
  std::string fault;
  std::optional<PdbFile> pdb;
  if (readWholeFile(db.recordsFile, &bytes, &fault)) pdb = PdbFile::parse(bytes.data(), bytes.size(), &fault);
  if (!pdb || pdb->name != db.pdb.name || pdb->recordCount() != db.releasedCount) {
    report(db.path + ": " + (pdb ? std::string("changed while the image was in use") : fault) +
           "; its records cannot be read back");
    return false;
  }
  db.pdb = std::move(*pdb);
  db.released = false;
  return true;
}

long HandheldImage::remove(const std::string& name) {
  auto it = databases_.find(name);
  if (it == databases_.end()) return SYNCERR_NOT_FOUND;
  ImageDatabase& db = *it->second;
  if (db.opens > 0) return SYNCERR_BAD_ARG;  // the handheld refuses to delete an open database
  // Its file may hold the only copy of what the user wrote on the handheld.
  if (db.unreadable()) return SYNCERR_IO;
  if (fileExists(db.path) && ::unlink(db.path.c_str()) != 0) return SYNCERR_IO;
  usedCreationDates().insert(db.pdb.createDate);
  databases_.erase(it);
  return SYNCERR_NONE;
}

uint32_t HandheldImage::rename(const std::string& oldName, const std::string& newName) {
  if (newName.empty() || newName.size() >= SYNC_DB_NAMELEN) return kModuleInvalidParam;
  auto it = databases_.find(oldName);
  if (it == databases_.end()) return kModuleCantFind;
  if (it->second->unreadable()) return kModuleCorruptDatabase;
  if (databases_.count(newName)) return kModuleAlreadyExists;
  std::unique_ptr<ImageDatabase> db = std::move(it->second);
  databases_.erase(it);
  const std::string oldPath = db->path;
  db->pdb.name = newName;
  db->path = freePath(newName);
  ImageDatabase& ref = *db;
  databases_.emplace(newName, std::move(db));
  ref.dirty = true;
  auto putBack = [&] {
    auto node = databases_.extract(newName);
    ref.pdb.name = oldName;
    ref.path = oldPath;
    node.key() = oldName;
    databases_.insert(std::move(node));
    return kModuleWriteFailed;
  };
  if (!writeBack(ref)) return putBack();
  // An old file that stays would hold the database a second time, under the
  // old name: the rename has failed then, and the new file goes again.
  if (oldPath != ref.path && fileExists(oldPath) && ::unlink(oldPath.c_str()) != 0) {
    ::unlink(ref.path.c_str());
    return putBack();
  }
  if (ref.released) ref.recordsFile = ref.path;
  release(ref);
  return 0;
}

bool HandheldImage::writeBack(ImageDatabase& db) {
  if (!db.dirty || db.unreadable()) return true;
  PdbFile& pdb = db.pdb;
  const uint32_t oldModDate = pdb.modDate;
  const uint32_t oldModNumber = pdb.modNumber;
  pdb.modDate = std::max(now1904(), pdb.createDate);
  ++pdb.modNumber;
  auto produce = [&db](const PdbFile::ByteSink& write) {
    return db.released ? copyUnderNewHeader(db, write) : db.pdb.serializeTo(write);
  };
  if (!writeFileAtomically(db.path, produce)) {
    const std::string why = errnoText();
    pdb.modDate = oldModDate;
    pdb.modNumber = oldModNumber;
    writeFailures_.insert(pdb.name);
    report(db.path + ": cannot be written: " + why);
    return false;
  }
  db.dirty = false;
  return true;
}

size_t HandheldImage::finish() {
  flush();
  for (auto& [name, db] : databases_) db->dirty = false;
  return writeFailures();
}

void HandheldImage::report(const std::string& text) const {
  std::fprintf(stderr, "handheld image: %s\n", text.c_str());
  if (report_) report_(text);
}

bool HandheldImage::flush() {
  bool ok = true;
  for (auto& [name, db] : databases_) ok = writeBack(*db) && ok;
  return ok;
}

}  // namespace tolvex
