// Whole `hotsync sync` runs, as a user runs them (with the summary), on one
// large list on both sides: every item content- and position-dirty on both
// sides, some titles changed and some items moved on the handheld. Per size
// it prints the wall time, CPU time and peak memory of the fast run under
// each collision method (1 HH over DT, 2 DT over HH, 3 By Time, 4
// Keep/Duplicate) and of the slow run (method 1), and their ratio to a
// baseline: the time this program takes to read both inputs (an expat parse
// of the desktop file, every record of the database unpacked) and to write
// the bytes of both outputs and of the log that the run wrote (each output to
// a temporary file, synced and renamed, as a run writes them), with no merge
// at all.
//
// Keep/Duplicate keeps both versions of every item edited on both sides, so
// on a list of the full size the result would not fit the handheld (65,535
// records): its run ("fast 4*") merges a list of half the size, every item
// edited on both sides, and so writes a list of the full size.
//
// Last, the deep shape: one chain of 60,000 items, each the only child of
// the one before, on both sides, merged fast and slow (method 1).
// Every figure is the median of three runs (TOLVEX_BENCH_REPEAT=N for N), each
// from the same prepared state; the spread of the wall times is printed too.
// The sizes of one shape take turns, run by run, so that the growth from the
// smallest to the largest compares runs made at the same time.
// Run: build/bin/bench_sync [largest size [smallest size]]   (scratch in $TMPDIR or /tmp)
// TOLVEX_BENCH_DEEP=0 leaves out the deep shape; TOLVEX_BENCH_ONLY="fast 1,deep slow 1"
// runs only those; TOLVEX_KEEP_SCRATCH=1 keeps the last prepared lists.
#include <expat.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  double peakMb = 0;
};

// Runs hotsync with HOTSYNC_HOME set; times it and reads its peak memory.
// A child's peak counts what it held when it was forked, so this program
// first gives back what it freed: its lists are gone by now.
Outcome hotsync(const std::string& home, const std::vector<std::string>& args) {
  Outcome o;
  std::fflush(stdout);
  malloc_trim(0);
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
  o.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  o.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return o;
}

enum class Shape { kFlat, kDeep };

// A tree of `count` items: rows of random length, nesting a few levels deep;
// or (deep) one chain, each item the only child of the one before.
std::unique_ptr<ItemList> buildList(size_t count, Shape shape) {
  auto list = std::make_unique<ItemList>();
  std::mt19937_64 rng(7);
  std::vector<std::pair<ListNode*, int>> nodes;  // item, depth
  nodes.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto item = std::make_unique<ListNode>(0, list.get());
    item->setTitle("Item " + std::to_string(i + 1));
    item->setNote("Some note text for item " + std::to_string(i + 1));
    item->setPriority(static_cast<uint8_t>(1 + i % 5));
    ListNode* raw = item.get();
    int depth = 0;
    if (nodes.empty()) {
      list->pushBack(std::move(item));
    } else if (shape == Shape::kDeep) {
      nodes.back().first->insertFirstChild(std::move(item));
      depth = nodes.back().second + 1;
    } else {
      auto [at, atDepth] = nodes[nodes.size() - 1 - rng() % std::min<size_t>(nodes.size(), 8)];
      if (rng() % 3 == 0 && atDepth < 6) {
        at->insertFirstChild(std::move(item));
        depth = atDepth + 1;
      } else {
        at->insertAfter(std::move(item));
        depth = atDepth;
      }
    }
    nodes.push_back({raw, depth});
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

// Edits on the handheld side: every 7th title changed and (flat shape) every
// 10th item moved behind a later one.
void editHandheld(const ItemList& list, Shape shape) {
  std::vector<ListNode*> items = preorder(list);
  std::mt19937_64 rng(11);
  for (size_t i = 0; i < items.size(); i += 7) items[i]->setTitle("Changed " + std::to_string(i));
  for (size_t i = 3; shape == Shape::kFlat && i + 1 < items.size(); i += 10) {
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

// Writes `bytes` as a run writes its outputs: a temporary file beside
// `path`, synced, then renamed over it.
bool writeReplacing(const std::string& path, const std::string& bytes, bool sync) {
  const std::string temp = path + ".bench-tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
  ok = (!sync || fsync(fileno(f)) == 0) && ok;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(temp.c_str(), path.c_str()) == 0;
}

// What any run must do at the least, with no merge: an expat parse of the
// desktop file without handlers, every item record of the database
// unpacked, and the bytes the run wrote (`out`: its list file, its database
// and its log) written into `scratch` as the run writes them.
struct Written {
  std::string xml, pdb, log;
};
double baseline(const std::string& xmlPath, const std::string& pdbPath, const Written& out,
                const std::string& scratch, size_t* items) {
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
  bool written = writeReplacing(scratch + "/out.XML", out.xml, true) &&
                 writeReplacing(scratch + "/out.pdb", out.pdb, true) &&
                 writeReplacing(scratch + "/out.log", out.log, false);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return written ? seconds : -1;
}

struct World {
  std::string root, home, device, desktop;
  std::string xml() const { return desktop + "/" + kListName + ".XML"; }
  std::string pdb() const { return device + "/" + kListName + ".pdb"; }
};

// Uploads a fresh list, then leaves both sides edited and dirty, with a
// copy of everything in root/prepared to start each timed run from.
bool prepare(const World& w, size_t count, Shape shape, std::string& error) {
  shell("rm -rf '" + w.root + "' && mkdir -p '" + w.home + "' '" + w.desktop + "'");
  if (hotsync(w.home, {"device", "init", w.device, "--user", "Bench"}).exitCode != 0) {
    error = "device init failed";
    return false;
  }
  auto list = buildList(count, shape);
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
  editHandheld(*handheld, shape);
  if (ListFileWriter().write(*desktop, w.xml(), error) != 0) return false;
  if (!writeHandheld(w.pdb(), *handheld, error)) return false;
  return shell("cd '" + w.root + "' && mkdir prepared && cp -a home device desktop prepared/");
}

// The copies are written out before anything is timed, so that no run or
// baseline pays for flushing the harness's own 45 MB of copies.
bool restore(const World& w) {
  return shell("cd '" + w.root + "' && rm -rf home device desktop && cp -a prepared/home prepared/device "
               "prepared/desktop . && sync");
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

namespace tolvex {
namespace {

struct Run {
  const char* label;
  const char* type;
  int method;
};

struct Row {
  std::string label;
  size_t count;
  double seconds;
};

class Bench {
 public:
  Bench(std::string root, int repeats, std::string only)
      : root_(std::move(root)), repeats_(repeats), only_(std::move(only)) {}

  // Prepares each of `counts` items of `shape` (in a world of its own) and
  // times `runs` on them, each `repeats_` times from the same prepared state;
  // prints the medians and the spread (slowest less fastest) of the wall
  // time with the summary. The sizes take turns run by run, so that a change
  // in the machine's speed during the bench falls on every size alike and
  // the growth from one size to the next is not skewed by it. The baseline
  // is taken after each run with the summary, on the same inputs and with
  // the outputs that run wrote.
  void measure(const std::vector<size_t>& counts, Shape shape, const std::vector<Run>& runs,
               const char* suffix = "") {
    std::vector<Run> chosen;
    for (const Run& run : runs)
      if (wanted(std::string(run.label) + suffix)) chosen.push_back(run);
    if (chosen.empty() || counts.empty()) return;
    std::vector<Size> sizes;
    for (size_t count : counts) {
      Size size{count, world(count), {}, {}, {}};
      std::string error;
      if (!prepare(size.world, count, shape, error)) {
        std::printf("%8zu  could not prepare: %s\n", count, error.c_str());
        ++failures_;
        return;
      }
      sizes.push_back(std::move(size));
    }
    for (const Run& run : chosen) {
      for (Size& size : sizes) size.full.clear(), size.quiet.clear(), size.bases.clear();
      for (int i = 0; i < repeats_; ++i) {
        for (Size& size : sizes) {
          const World& w = size.world;
          const std::vector<std::string> args{"sync", "--device", w.device, "--desktop", w.desktop, "--type", run.type};
          std::vector<std::string> quietArgs = args;
          quietArgs.push_back("--quiet");
          if (!runOnce(w, run, args, &size.full)) return fail();
          size.bases.push_back(measureBaseline(w));
          if (!runOnce(w, run, quietArgs, &size.quiet)) return fail();
        }
      }
      const std::string label = std::string(run.label) + suffix;
      for (const Size& size : sizes) print(size, label);
    }
    if (!std::getenv("TOLVEX_KEEP_SCRATCH"))
      for (const Size& size : sizes) shell("rm -rf '" + size.world.root + "'");
  }

  // Growth of each run's time from its smallest to its largest size.
  void printGrowth() const {
    std::vector<std::string> labels;
    for (const Row& r : rows_)
      if (std::find(labels.begin(), labels.end(), r.label) == labels.end()) labels.push_back(r.label);
    for (const std::string& label : labels) {
      const Row* first = nullptr;
      const Row* last = nullptr;
      for (const Row& r : rows_) {
        if (r.label != label) continue;
        if (!first || r.count < first->count) first = &r;
        if (!last || r.count > last->count) last = &r;
      }
      if (first == last) continue;
      std::printf("growth %-12s %zu -> %zu items: %.2fx (linear %.2fx)\n", label.c_str(), first->count, last->count,
                  last->seconds / first->seconds, double(last->count) / double(first->count));
    }
  }

  int failures() const { return failures_; }

 private:
  struct Size {
    size_t count;
    World world;
    std::vector<Outcome> full, quiet;
    std::vector<double> bases;  // one after each run with the summary
  };

  World world(size_t count) const {
    World w;
    w.root = root_ + "/" + std::to_string(count);
    w.home = w.root + "/home";
    w.device = w.root + "/device";
    w.desktop = w.root + "/desktop";
    return w;
  }

  void fail() { ++failures_; }

  void print(const Size& size, const std::string& label) {
    const double base = median(size.bases);
    const double wall = median(size.full, &Outcome::seconds);
    std::printf("%8zu  %-12s %8.3f %7.3f %8.3f %8.3f %8.3f %7.2f %9.1f %9.1f%s\n", size.count, label.c_str(), wall,
                spread(size.full), median(size.full, &Outcome::cpuSeconds), median(size.quiet, &Outcome::seconds),
                base, wall / base, median(size.full, &Outcome::peakMb), median(size.quiet, &Outcome::peakMb),
                ok(size.full) && ok(size.quiet) ? "" : "  (run failed)");
    std::fflush(stdout);
    failures_ += !ok(size.full) || !ok(size.quiet);
    rows_.push_back({label, size.count, wall});
  }

  // One run from the prepared state, added to `outcomes`.
  static bool runOnce(const World& w, const Run& run, const std::vector<std::string>& args,
                      std::vector<Outcome>* outcomes) {
    if (!restore(w) || !setMethod(w, run.method)) return false;
    outcomes->push_back(hotsync(w.home, args));
    return true;
  }

  static double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }
  static double median(const std::vector<Outcome>& outcomes, double Outcome::*field) {
    std::vector<double> values;
    for (const Outcome& o : outcomes) values.push_back(o.*field);
    return median(values);
  }
  static double spread(const std::vector<Outcome>& outcomes) {
    auto [low, high] = std::minmax_element(outcomes.begin(), outcomes.end(),
                                           [](const Outcome& a, const Outcome& b) { return a.seconds < b.seconds; });
    return high->seconds - low->seconds;
  }
  static bool ok(const std::vector<Outcome>& outcomes) {
    return std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.exitCode == 0; });
  }

  // TOLVEX_BENCH_ONLY: the labels to run, comma-separated ("fast 1,deep slow 1").
  bool wanted(const std::string& label) const {
    if (only_.empty()) return true;
    return ("," + only_ + ",").find("," + label + ",") != std::string::npos;
  }

  // On the prepared inputs, with the outputs the run just wrote.
  static double measureBaseline(const World& w) {
    const Written out{readFile(w.xml()), readFile(w.pdb()), readFile(w.desktop + "/lastsync.txt")};
    if (!restore(w)) return -1;
    const std::string scratch = w.root + "/baseline";
    shell("mkdir -p '" + scratch + "'");
    size_t items = 0;
    double seconds = baseline(w.xml(), w.pdb(), out, scratch, &items);
    shell("rm -rf '" + scratch + "'");
    return seconds;
  }

  std::string root_;
  int repeats_;
  std::string only_;
  std::vector<Row> rows_;
  int failures_ = 0;
};

}  // namespace
}  // namespace tolvex

int main(int argc, char** argv) {
  using namespace tolvex;
  size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 65000;
  size_t smallest = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
  const char* tmp = std::getenv("TMPDIR");
  const char* deep = std::getenv("TOLVEX_BENCH_DEEP");
  const std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvex-bench-sync-" + std::to_string(getpid());
  const char* repeat = std::getenv("TOLVEX_BENCH_REPEAT");
  const char* only = std::getenv("TOLVEX_BENCH_ONLY");
  const int repeats = std::max(1, repeat && *repeat ? std::atoi(repeat) : 3);
  std::printf("%8s  %-12s %8s %7s %8s %8s %8s %7s %9s %9s\n", "items", "run", "wall s", "spread", "cpu s", "quiet s",
              "base s", "ratio", "peak MB", "quiet MB");
  Bench bench(root, repeats, only ? only : "");
  const std::vector<Run> flat = {
      {"fast 1", "fast", 1}, {"fast 2", "fast", 2}, {"fast 3", "fast", 3}, {"slow 1", "slow", 1}};
  std::vector<size_t> counts, halves;
  for (size_t count : {1000u, 4000u, 16000u, 65000u}) {
    if (count > largest) break;
    if (count < smallest) continue;
    counts.push_back(count);
    halves.push_back(count / 2);
  }
  bench.measure(counts, Shape::kFlat, flat);
  // Half the items, each kept twice: the result holds `count` items.
  bench.measure(halves, Shape::kFlat, {{"fast 4", "fast", 4}}, "*");
  if (!deep || std::string(deep) != "0") {
    bench.measure({60000}, Shape::kDeep, {{"deep fast 1", "fast", 1}, {"deep slow 1", "slow", 1}});
  }
  bench.printGrowth();
  std::printf("Medians of %d runs each. wall s: the run as a user runs it; spread: its slowest less its fastest;\n"
              "quiet s: with --quiet (no summary); base s: read both inputs, write both outputs and the log, no merge;\n"
              "ratio: wall / base. * Keep/Duplicate on half the items.\n", repeats);
  if (!std::getenv("TOLVEX_KEEP_SCRATCH")) shell("rm -rf '" + root + "'");
  return bench.failures() == 0 ? 0 : 1;
}
