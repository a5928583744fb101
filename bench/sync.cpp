// Whole `hotsync sync` runs on one large list on both sides: every item
// content- and position-dirty on both sides, some titles changed and some
// items moved on the handheld. Per size it prints the wall time and peak
// memory of the fast run (each collision method) and of the slow run, the
// time this program takes only to read both inputs (an expat parse of the
// desktop file, every record of the database unpacked), and their ratio.
// Fast runs use each collision method (1 HH over DT, 2 DT over HH, 3 By
// Time, 4 Keep/Duplicate), the slow run method 1.
// Run: build/bin/bench_sync [largest size [smallest size]]   (scratch in $TMPDIR or /tmp)
#include <expat.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "outline/ListNode.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex {
namespace {

constexpr uint8_t kRecordDirty = 0x40;
const char* const kListName = "Tolvk-Bench";

std::string readFile(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    struct stat st{};
    if (fstat(fileno(f), &st) == 0 && st.st_size > 0) {
      out.resize(static_cast<size_t>(st.st_size));
      out.resize(std::fread(out.data(), 1, out.size(), f));
    }
    std::fclose(f);
  }
  return out;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

struct Outcome {
  int exitCode = -1;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKb = 0;
};

// Runs hotsync with HOTSYNC_HOME set; times it and reads its peak memory.
Outcome hotsync(const std::string& home, const std::vector<std::string>& args) {
  Outcome o;
  std::fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    setenv("HOTSYNC_HOME", home.c_str(), 1);
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(127);
    std::vector<std::string> all{TOLVEX_BINARY_DIR "/bin/hotsync"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.peakKb = usage.ru_maxrss;
  o.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return o;
}

// A tree of `count` items: rows of random length, nesting a few levels deep.
std::unique_ptr<ItemList> buildList(size_t count) {
  auto list = std::make_unique<ItemList>();
  std::mt19937_64 rng(7);
  std::vector<ListNode*> nodes;
  nodes.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto item = std::make_unique<ListNode>(0, list.get());
    item->setTitle("Item " + std::to_string(i + 1));
    item->setNote("Some note text for item " + std::to_string(i + 1));
    item->setPriority(static_cast<uint8_t>(1 + i % 5));
    ListNode* raw = item.get();
    if (nodes.empty()) {
      list->pushBack(std::move(item));
    } else {
      ListNode* at = nodes[nodes.size() - 1 - rng() % std::min<size_t>(nodes.size(), 8)];
      if (rng() % 3 == 0 && at->depth() < 6) at->insertFirstChild(std::move(item));
      else at->insertAfter(std::move(item));
    }
    nodes.push_back(raw);
  }
  return list;
}

std::vector<ListNode*> preorder(const ItemList& list) {
  std::vector<ListNode*> out;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* n) {
    out.push_back(n);
    return true;
  });
  return out;
}

void markAll(const ItemList& list) {
  for (ListNode* n : preorder(list)) {
    n->setDirtyContent(true);
    n->setDirtyPosition(true);
  }
}

// Edits on the handheld side: every 7th title changed, every 10th item
// moved behind a later one.
void editHandheld(const ItemList& list) {
  std::vector<ListNode*> items = preorder(list);
  std::mt19937_64 rng(11);
  for (size_t i = 0; i < items.size(); i += 7) items[i]->setTitle("Changed " + std::to_string(i));
  for (size_t i = 3; i + 1 < items.size(); i += 10) {
    ListNode* target = items[i + 1 + rng() % std::min<size_t>(items.size() - i - 1, 50)];
    if (target->isWithinSubtreeOf(items[i])) continue;
    target->insertAfter(items[i]->unlink());
  }
  markAll(list);
}

// Replaces the item records of the list database by `list` in pre-order,
// each record marked dirty; the header record and database fields stay.
bool writeHandheld(const std::string& pdbPath, const ItemList& list, std::string& error) {
  std::string bytes = readFile(pdbPath);
  auto db = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  if (!db || db->recordCount() == 0) return false;
  PdbFile fresh;
  fresh.name = db->name;
  fresh.attributes = db->attributes;
  fresh.version = db->version;
  fresh.createDate = db->createDate;
  fresh.modDate = db->modDate;
  fresh.backupDate = db->backupDate;
  fresh.modNumber = db->modNumber;
  fresh.type = db->type;
  fresh.creator = db->creator;
  fresh.uniqueIdSeed = db->uniqueIdSeed;
  fresh.appInfo = db->appInfo;
  fresh.sortInfo = db->sortInfo;
  fresh.appendRecord(db->record(0));
  for (ListNode* n : preorder(list)) {
    PdbRecord r;
    r.attributes = kRecordDirty;
    r.uniqueId = n->uniqueID();
    r.data = packItemRecord(*n);
    fresh.appendRecord(std::move(r));
  }
  return writeFile(pdbPath, fresh.serialize());
}

// The read-only baseline: an expat parse of the desktop file without
// handlers and every item record of the database unpacked.
double readOnly(const std::string& xmlPath, const std::string& pdbPath, size_t* items) {
  auto start = std::chrono::steady_clock::now();
  std::string xml = readFile(xmlPath);
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1);
  XML_ParserFree(parser);
  std::string bytes = readFile(pdbPath);
  std::string error;
  auto db = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  ItemList list;
  *items = 0;
  if (db) {
    for (size_t i = 1; i < db->recordCount(); ++i) {
      const PdbRecord& r = db->records()[i];
      auto item = unpackItemRecord(&list, r.uniqueId, r.data.data(), r.data.size(), false, nullptr);
      *items += item != nullptr;
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct World {
  std::string root, home, device, desktop;
  std::string xml() const { return desktop + "/" + kListName + ".XML"; }
  std::string pdb() const { return device + "/" + kListName + ".pdb"; }
};

// Uploads a fresh list, then leaves both sides edited and dirty, with a
// copy of everything in root/prepared to start each timed run from.
bool prepare(const World& w, size_t count, std::string& error) {
  shell("rm -rf '" + w.root + "' && mkdir -p '" + w.home + "' '" + w.desktop + "'");
  if (hotsync(w.home, {"device", "init", w.device, "--user", "Bench"}).exitCode != 0) {
    error = "device init failed";
    return false;
  }
  auto list = buildList(count);
  list->setUploadFile(1);
  if (ListFileWriter().write(*list, w.xml(), error) != 0) return false;
  if (hotsync(w.home, {"sync", "--device", w.device, "--desktop", w.desktop}).exitCode != 0) {
    error = "upload run failed";
    return false;
  }
  auto desktop = ListFileReader().read(w.xml(), error);
  auto handheld = ListFileReader().read(w.xml(), error);
  if (!desktop || !handheld) return false;
  markAll(*desktop);
  editHandheld(*handheld);
  if (ListFileWriter().write(*desktop, w.xml(), error) != 0) return false;
  if (!writeHandheld(w.pdb(), *handheld, error)) return false;
  return shell("cd '" + w.root + "' && mkdir prepared && cp -a home device desktop prepared/");
}

bool restore(const World& w) {
  return shell("cd '" + w.root + "' && rm -rf home device desktop && cp -a prepared/home prepared/device "
               "prepared/desktop .");
}

// Makes `method` the permanent collision method in the host's registry.
bool setMethod(const World& w, int method) {
  const std::string path = w.home + "/registry.ini";
  const std::string section = "[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]";
  std::istringstream in(readFile(path));
  std::string out, line;
  bool placed = false;
  while (std::getline(in, line)) {
    if (line.rfind("MethodPerm=", 0) == 0) continue;
    out += line + "\n";
    if (line == section) {
      out += "MethodPerm=" + std::to_string(method) + "\n";
      placed = true;
    }
  }
  if (!placed) out += section + "\nMethodPerm=" + std::to_string(method) + "\n";
  return writeFile(path, std::vector<uint8_t>(out.begin(), out.end()));
}

}  // namespace
}  // namespace tolvex

int main(int argc, char** argv) {
  using namespace tolvex;
  size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 65000;
  size_t smallest = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
  const char* tmp = std::getenv("TMPDIR");
  World w;
  w.root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvex-bench-sync-" + std::to_string(getpid());
  w.home = w.root + "/home";
  w.device = w.root + "/device";
  w.desktop = w.root + "/desktop";
  std::printf("%8s  %-6s %10s %10s %10s %8s %9s\n", "items", "run", "wall s", "cpu s", "read s", "ratio",
              "peak MB");
  int failures = 0;
  for (size_t count : {1000u, 4000u, 16000u, 65000u}) {
    if (count > largest) break;
    if (count < smallest) continue;
    std::string error;
    if (!prepare(w, count, error)) {
      std::printf("%8zu  could not prepare: %s\n", count, error.c_str());
      ++failures;
      continue;
    }
    size_t items = 0;
    double baseline = readOnly(w.xml(), w.pdb(), &items);
    struct Run { const char* label; const char* type; int method; };
    const Run runs[] = {{"fast 1", "fast", 1}, {"fast 2", "fast", 2}, {"fast 3", "fast", 3},
                        {"fast 4", "fast", 4}, {"slow 1", "slow", 1}};
    for (const Run& run : runs) {
      if (!restore(w) || !setMethod(w, run.method)) return 1;
      Outcome o = hotsync(w.home, {"sync", "--device", w.device, "--desktop", w.desktop, "--type", run.type});
      failures += o.exitCode != 0;
      std::printf("%8zu  %-6s %10.3f %10.3f %10.3f %8.2f %9.1f%s\n", count, run.label, o.seconds, o.cpuSeconds, baseline,
                  o.seconds / baseline, o.peakKb / 1024.0, o.exitCode == 0 ? "" : "  (run failed)");
      std::fflush(stdout);
    }
  }
  if (!std::getenv("TOLVEX_KEEP_SCRATCH")) shell("rm -rf '" + w.root + "'");
  return failures == 0 ? 0 : 1;
}
