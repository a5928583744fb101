// Hostile desktop folders and handheld images, each run through a whole
// `hotsync sync`: no crash, bounded memory, nothing written outside the
// desktop folder and the image, no hostile file destroyed, a log line.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ListFixtures.h"
#include "SafetyHarness.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::safety {
namespace {

constexpr char kMarker[] = "SENTINEL-SECRET-7f3a9c";

// Desktop lists ask to be uploaded, so that their text is read, written to
// the handheld and written back: what the reader let in shows on both sides.
const char kValidList[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<TolvexFile uniqueTime=\"0\" uploadFile=\"1\">\n"
    "  <item uniqueID=\"0\" dirtyContent=\"1\" dirtyPosition=\"1\"><title>kept</title></item>\n"
    "</TolvexFile>\n";

std::string listFile(const std::string& body, const std::string& prolog = "") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + prolog +
         "<TolvexFile uniqueTime=\"0\" uploadFile=\"1\">\n" + body + "</TolvexFile>\n";
}

void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}
void put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v);
}

// A list database of `records` raw records, laid out honestly; callers then
// make it lie.
std::string pdb(const std::string& name, const std::vector<std::string>& records) {
  std::string b(78 + 8 * records.size() + 2, '\0');
  std::memcpy(b.data(), name.data(), std::min<size_t>(name.size(), 31));
  put32(b, 36, 3786825600u);  // 2024 in seconds since 1904
  put32(b, 40, 3786825600u);
  b.replace(60, 4, "Wkdq");
  b.replace(64, 4, "Wkdq");
  put32(b, 68, 100);
  put16(b, 76, static_cast<uint16_t>(records.size()));
  uint32_t off = static_cast<uint32_t>(b.size());
  for (size_t i = 0; i < records.size(); ++i) {
    put32(b, 78 + 8 * i, off);
    put32(b, 78 + 8 * i + 4, static_cast<uint32_t>(i + 1));  // attributes 0, id i+1
    off += static_cast<uint32_t>(records[i].size());
  }
  for (const auto& r : records) b += r;
  return b;
}

// A list header that asks for synchronization (flag 0x80 in the word at 50,
// magic "Tlvk" at 58) and two items, A with child B: a list the run takes up.
std::vector<std::string> listRecords() {
  std::string header(122, '\0');
  put32(header, 50, 0x80);
  header.replace(58, 4, "Tlvk");
  auto item = [](const std::string& title, uint16_t tree) {
    std::string r(88, '\0');
    r[0] = 1;
    put16(r, 78, static_cast<uint16_t>(title.size()));
    put16(r, 86, tree);
    r += title + '\0';
    if (r.size() % 2) r += '\0';
    return r + std::string(2, '\0');
  };
  return {header, item("A", 0x0002), item("B", 0)};
}

uint64_t fnv(const std::string& path, uint64_t* size) {
  std::ifstream in(path, std::ios::binary);
  uint64_t h = 1469598103934665603ull, n = 0;
  char buf[1 << 16];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) h = (h ^ static_cast<uint8_t>(buf[i])) * 1099511628211ull;
    n += static_cast<uint64_t>(in.gcount());
  }
  *size = n;
  return h;
}

struct Case {
  std::string id;
  std::function<void(const World&)> make;
  // The line of lastsync.txt that shows the run reached the check this case
  // is about (empty: `hotsyncLog` shows it).
  std::string proof;
  std::vector<std::string> mustSurvive = {};        // desktop-relative files whose bytes may not be lost
  std::vector<std::string> untouchedOnDevice = {};  // image files that must stay byte-identical
  std::string hotsyncLog = {};                      // text the host's HotSync log must hold
  std::string outsideWritable = {};                 // sentinel files the user's own link lets the run write
};

void deskFile(const World& w, const std::string& name, const std::string& data) {
  writeFile(w.desktop + "/" + name, data);
}
void devFile(const World& w, const std::string& file, const std::string& data) {
  writeFile(w.device + "/" + file, data);
}

// Tolvk-Kill0 synced once, then changed on the handheld, so that the run
// merges it, rolls its backups and saves it.
void syncedThenChangedOnHandheld(const World& w, const std::function<void()>& beforeChange = [] {}) {
  ListTitles items;
  writeList(w, 0, items, 3);
  ASSERT_EQ(w.sync().exitCode, 0);
  beforeChange();
  std::string bytes = readFile(w.device + "/Tolvk-Kill0.pdb"), error;
  auto db = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  ASSERT_TRUE(db) << error;
  for (size_t i = 1; i < db->recordCount(); i += 2) db->record(i).data.at(5) |= 0x20;  // item changed
  auto out = db->serialize();
  writeFile(w.device + "/Tolvk-Kill0.pdb", std::string(out.begin(), out.end()));
}

const char kUploaded[] = "#   Saved updated record info to desktop.\n";
const char kMergedAndSaved[] = "# Roll desktop-side backups.\n";
const char kImageSkipped[] = "Handheld image: ";

std::string unusableName(const std::string& name) {
  return "# ERROR: List name '" + name + "' is not a usable file name. Skipped.\n";
}

std::vector<Case> cases() {
  std::vector<Case> c;
  c.push_back({"EntityBomb", [](const World& w) {
    std::string dtd = "<!DOCTYPE TolvexFile [\n<!ENTITY a0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i < 12; ++i)
      dtd += "<!ENTITY a" + std::to_string(i) + " \"" + std::string() +
             [&] { std::string s; for (int k = 0; k < 10; ++k) s += "&a" + std::to_string(i - 1) + ";"; return s; }() + "\">\n";
    dtd += "]>\n";
    deskFile(w, "Tolvk-Bomb.XML", listFile("<item uniqueID=\"0\"><title>&a11;</title></item>\n", dtd));
  }, "#   >> limit on input amplification factor", {"Tolvk-Bomb.XML"}});
  c.push_back({"ExternalEntity", [](const World& w) {
    writeFile(w.sentinel + "/secret.txt", kMarker);
    std::string dtd = "<!DOCTYPE TolvexFile [\n<!ENTITY s SYSTEM \"file://" + w.sentinel +
                      "/secret.txt\">\n<!ENTITY p SYSTEM \"file:///etc/passwd\">\n]>\n";
    deskFile(w, "Tolvk-Ext.XML", listFile("<item uniqueID=\"0\"><title>&s;</title><note>&p;</note></item>\n", dtd));
  }, kUploaded});
  c.push_back({"ExternalDtd", [](const World& w) {
    writeFile(w.sentinel + "/evil.dtd", std::string("<!ENTITY s \"") + kMarker + "\">\n");
    std::string dtd = "<!DOCTYPE TolvexFile SYSTEM \"file://" + w.sentinel + "/evil.dtd\">\n";
    deskFile(w, "Tolvk-Dtd.XML", listFile("<item uniqueID=\"0\"><title>&s;</title></item>\n", dtd));
  }, kUploaded});
  c.push_back({"HugeText", [](const World& w) {
    std::ofstream out(w.desktop + "/Tolvk-Huge.XML", std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TolvexFile uniqueTime=\"0\" uploadFile=\"0\">\n"
           "<item uniqueID=\"0\" dirtyContent=\"1\"><title>";
    std::string chunk(1 << 20, 'x');
    int megabytes = sanitized() ? 8 : 100;
    for (int i = 0; i < megabytes; ++i) out << chunk;
    out << "</title></item>\n</TolvexFile>\n";
  }, "#   WARNING: Upload attribute not set. Skipping.\n", {"Tolvk-Huge.XML"}});
  c.push_back({"DeepNesting", [](const World& w) {
    std::string open, close;
    for (int i = 0; i < 10000; ++i) {
      open += "<item uniqueID=\"0\"><title>d</title>";
      close += "</item>";
    }
    deskFile(w, "Tolvk-Deep.XML", listFile(open + close + "\n"));
  }, kUploaded});
  c.push_back({"InvalidUtf8", [](const World& w) {
    deskFile(w, "Tolvk-Utf.XML", listFile("<item uniqueID=\"0\"><title>a\xC3\x28 \xFF\xFE \xED\xA0\x80 \xF8\x88\x80\x80\x80</title></item>\n"));
  }, "#   >> not well-formed (invalid token) at line 3\n", {"Tolvk-Utf.XML"}});
  c.push_back({"NulBytes", [](const World& w) {
    deskFile(w, "Tolvk-Nul.XML", listFile(std::string("<item uniqueID=\"0\"><title>a\0b</title><note>\0\0</note></item>\n", 55)));
  }, "#   >> not well-formed (invalid token) at line 3\n", {"Tolvk-Nul.XML"}});
  c.push_back({"ListFileLinkOutside", [](const World& w) {
    writeFile(w.sentinel + "/Tolvk-Out.XML", kValidList);
    symlink((w.sentinel + "/Tolvk-Out.XML").c_str(), (w.desktop + "/Tolvk-Link.XML").c_str());
  }, kUploaded});
  // A link to nothing is no list file: it is passed over, with a line.
  c.push_back({"DanglingListLink", [](const World& w) {
    symlink((w.sentinel + "/made-by-run.XML").c_str(), (w.desktop + "/Tolvk-Gone.XML").c_str());
  }, "# ERROR: File 'Tolvk-Gone.XML' is a link to nothing. Skipped.\n"});
  // The desktop file of a list the run rewrites is a link to a copy outside:
  // the new file replaces the link, the copy stays.
  c.push_back({"SyncedListLinkOutside", [](const World& w) {
    syncedThenChangedOnHandheld(w, [&] {
      const std::string file = w.desktop + "/Tolvk-Kill0.XML", outside = w.sentinel + "/Tolvk-Kill0.XML";
      ASSERT_EQ(std::rename(file.c_str(), outside.c_str()), 0);
      ASSERT_EQ(symlink(outside.c_str(), file.c_str()), 0);
    });
  }, "# Saved updated list to desktop.\n"});
  c.push_back({"BackupLinksOutside", [](const World& w) {
    syncedThenChangedOnHandheld(w, [&] {
      mkdir((w.desktop + "/Backup").c_str(), 0755);
      for (int i = 0; i < 3; ++i) {
        std::string target = w.sentinel + "/bk" + std::to_string(i);
        writeFile(target, std::string(kMarker) + std::to_string(i));
        symlink(target.c_str(), (w.desktop + "/Backup/Tolvk-Kill0." + std::to_string(i)).c_str());
      }
    });
  }, kMergedAndSaved});
  // A Backup folder that links elsewhere is where the user keeps backups:
  // the roll works there, on this list's backups only.
  c.push_back({"BackupFolderLinkOutside", [](const World& w) {
    syncedThenChangedOnHandheld(w, [&] {
      mkdir((w.sentinel + "/bkdir").c_str(), 0755);
      writeFile(w.sentinel + "/bkdir/Tolvk-Other.2", kMarker);
      symlink((w.sentinel + "/bkdir").c_str(), (w.desktop + "/Backup").c_str());
    });
  }, kMergedAndSaved, {}, {}, {}, "bkdir/Tolvk-Kill0."});
  c.push_back({"LogLinksOutside", [](const World& w) {
    const char* logs[] = {"lastsync.txt", "lastsync1.txt", "lastsync2.txt", "lastsync3.txt"};
    for (const char* l : logs) {
      std::string target = w.sentinel + "/" + l;
      writeFile(target, std::string(kMarker) + l);
      symlink(target.c_str(), (w.desktop + "/" + l).c_str());
    }
  }, "# Log started"});
  // The tag, filter and settings files linked outside: the exports replace
  // the links, the files they pointed at stay as they were.
  c.push_back({"ExportFilesLinkOutside", [](const World& w) {
    for (const char* db : {"TolvTags.pdb", "TolvFilters.pdb"})
      devFile(w, db, readFile(std::string(TOLVEX_SOURCE_DIR) + "/examples/handheld/" + db));
    for (const char* f : {"TolvanTags.XML", "TolvanFilters.XML", "TolvanConfig.XML"}) {
      writeFile(w.sentinel + "/" + f, std::string(kMarker) + f);
      symlink((w.sentinel + "/" + f).c_str(), (w.desktop + "/" + f).c_str());
    }
  }, "#   Successfully obtained filter database.\n"});
  // The log roll moves a folder and a link to a file outside along: the new
  // log must not be written through the link.
  c.push_back({"LogLinkWhereRollIsBlocked", [](const World& w) {
    mkdir((w.desktop + "/lastsync1.txt").c_str(), 0755);
    writeFile(w.desktop + "/lastsync1.txt/keep", kMarker);
    writeFile(w.sentinel + "/log", std::string(kMarker) + "log");
    symlink((w.sentinel + "/log").c_str(), (w.desktop + "/lastsync.txt").c_str());
  }, "# Log started"});
  // Handheld lists with names no file may have, each a whole list that asks
  // to be synchronized, so only the name guard stands in the way.
  c.push_back({"HandheldNameSlash", [](const World& w) {
    mkdir((w.desktop + "/Tolvk-a").c_str(), 0755);
    devFile(w, "Tolvk-a%2Fb.pdb", pdb("Tolvk-a/b", listRecords()));
  }, unusableName("Tolvk-a/b")});
  c.push_back({"HandheldNameIntoSentinel", [](const World& w) {
    // With a folder "Tolvk-" present the joined path would resolve into the sentinel.
    mkdir((w.desktop + "/Tolvk-").c_str(), 0755);
    mkdir((w.desktop + "/Backup").c_str(), 0755);
    mkdir((w.desktop + "/Backup/Tolvk-").c_str(), 0755);
    devFile(w, "Tolvk-%2F..%2F..%2Fsentinel%2Fx.pdb", pdb("Tolvk-/../../sentinel/x", listRecords()));
  }, unusableName("Tolvk-/../../sentinel/x")});
  c.push_back({"PdbCountLies", [](const World& w) {
    std::string b = pdb("Tolvk-Count", listRecords());
    put16(b, 76, 60000);
    devFile(w, "Tolvk-Count.pdb", b);
  }, "", {}, {"Tolvk-Count.pdb"}, kImageSkipped});
  c.push_back({"PdbOffsetPastEnd", [](const World& w) {
    std::string b = pdb("Tolvk-Off", listRecords());
    put32(b, 78 + 8 * 2, 0x7FFFFFF0u);  // the last record: no later offset gives it away
    devFile(w, "Tolvk-Off.pdb", b);
  }, "", {}, {"Tolvk-Off.pdb"}, kImageSkipped});
  c.push_back({"PdbOffsetsBackwards", [](const World& w) {
    std::string b = pdb("Tolvk-Back", listRecords());
    put32(b, 78, 40);  // into the header
    put32(b, 78 + 8, 20);
    devFile(w, "Tolvk-Back.pdb", b);
  }, "", {}, {"Tolvk-Back.pdb"}, kImageSkipped});
  c.push_back({"PdbAppInfoPastEnd", [](const World& w) {
    std::string b = pdb("Tolvk-App", listRecords());
    put32(b, 52, 0xFFFFFFFFu);
    devFile(w, "Tolvk-App.pdb", b);
  }, "", {}, {"Tolvk-App.pdb"}, kImageSkipped});
  c.push_back({"PdbTruncatedHeader", [](const World& w) {
    devFile(w, "Tolvk-Short.pdb", pdb("Tolvk-Short", listRecords()).substr(0, 50));
  }, "", {}, {"Tolvk-Short.pdb"}, kImageSkipped});
  return c;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.id; }

class HostileInput : public ::testing::TestWithParam<Case> {};

TEST_P(HostileInput, RunEndsCleanAndTouchesNothingOutside) {
  const Case& c = GetParam();
  World w;
  ASSERT_EQ(w.initDevice().exitCode, 0);
  c.make(w);
  auto sentinelBefore = snapshot(w.sentinel);
  std::map<std::string, std::pair<uint64_t, uint64_t>> kept;  // file -> (hash, size)
  for (const auto& f : c.mustSurvive) {
    uint64_t size = 0, h = fnv(w.desktop + "/" + f, &size);
    kept[f] = {h, size};
  }
  std::map<std::string, std::string> deviceBefore;
  for (const auto& f : c.untouchedOnDevice) deviceBefore[f] = readFile(w.device + "/" + f);

  RunResult r = w.sync({}, 150);
  ASSERT_FALSE(r.timedOut) << r.out;
  ASSERT_FALSE(r.signaled) << "signal " << r.signal << "\n" << r.out;
  EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.exitCode << "\n" << r.out;
  EXPECT_EQ(r.out.find("ERROR: AddressSanitizer"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("runtime error:"), std::string::npos) << r.out;

  auto sentinelAfter = snapshot(w.sentinel);
  if (!c.outsideWritable.empty())
    for (auto* files : {&sentinelBefore, &sentinelAfter})
      std::erase_if(*files, [&](const auto& file) { return file.first.rfind(c.outsideWritable, 0) == 0; });
  EXPECT_EQ(sentinelAfter, sentinelBefore) << "a run wrote outside its folders";
  // Nothing read through an external entity shows anywhere the run writes.
  std::string passwdHead = readFile("/etc/passwd").substr(0, 12);
  auto everything = snapshot(w.desktop);
  for (const auto& [k, v] : snapshot(w.device)) everything["device/" + k] = v;
  for (const auto& [k, v] : snapshot(w.home)) everything["home/" + k] = v;
  everything["(output)"] = "F:" + r.out;
  for (const auto& [path, content] : everything) {
    if (content.rfind("L:", 0) == 0) continue;
    if (c.id != "BackupFolderLinkOutside" && c.id != "BackupLinksOutside" && c.id != "LogLinksOutside" &&
        c.id != "LogLinkWhereRollIsBlocked") {
      EXPECT_EQ(content.find(kMarker), std::string::npos) << path;
    }
    if (!passwdHead.empty() && path.find("Tolvk-Ext.XML") == std::string::npos) {
      EXPECT_EQ(content.find(passwdHead), std::string::npos) << path;
    }
  }
  // A file the conduit cannot use stays, in place or in the backup set.
  for (const auto& [f, hs] : kept) {
    std::string stem = f.substr(0, f.size() - 4);
    bool found = false;
    for (const std::string& p : {w.desktop + "/" + f, w.desktop + "/Backup/" + stem + ".0",
                                 w.desktop + "/Backup/" + stem + ".1", w.desktop + "/Backup/" + stem + ".2"}) {
      uint64_t size = 0;
      if (access(p.c_str(), F_OK) == 0 && fnv(p, &size) == hs.first && size == hs.second) found = true;
    }
    EXPECT_TRUE(found) << f << " lost";
  }
  for (const auto& [f, bytes] : deviceBefore)
    EXPECT_EQ(readFile(w.device + "/" + f), bytes) << f << " was rewritten without being read whole";

  // The run reached the check this case is about: what the image skipped
  // reaches the HotSync log the user reads, the rest shows in lastsync.txt.
  if (!c.hotsyncLog.empty()) {
    const std::string hotsyncLog = readFile(w.home + "/hotsync.log");
    EXPECT_NE(hotsyncLog.find(c.hotsyncLog), std::string::npos) << hotsyncLog;
    EXPECT_NE(hotsyncLog.find(c.untouchedOnDevice.front()), std::string::npos) << hotsyncLog;
  }
  const std::string log = w.lastLog();
  if (!c.proof.empty()) {
    EXPECT_NE(log.find(c.proof), std::string::npos) << log;
  }
  EXPECT_FALSE(c.proof.empty() && c.hotsyncLog.empty()) << "the case names no line that shows it reached its check";
  EXPECT_TRUE(log.empty() || log.back() == '\n');
  if (!HasFailure()) std::printf("%s reached its check: %s\n", c.id.c_str(), (c.proof.empty() ? c.hotsyncLog : c.proof).c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.id; });

}  // namespace
}  // namespace tolvex::safety
