#include <gtest/gtest.h>

#include <random>
#include <string>

#include "libsync/SyncContext.h"
#include "tests/libsync/EngineTestSupport.h"

namespace tolvex {
namespace {

using testing::build;
using testing::Merge;
using testing::written;
using testing::flagsOf;
using testing::LogCapture;
using testing::shape;
using testing::treeError;

TEST(EngineLineTest, InsertsFourBlanksAndCutsLongLines) {
  LogCapture log;
  SyncContext context;
  engineLine(context, "# nothing\n");  // no log: nothing happens
  context.log = log.file();
  engineLine(context, "#   Done.\n");
  EXPECT_EQ(log.text(), "#       Done.\n");
  std::string longTitle;
  for (int i = 0; i < 260; ++i) longTitle += "\xC3\xA9";  // two bytes each
  engineLine(context, "#   Alive: %s to move beside %s\n", longTitle.c_str(), longTitle.c_str());
  std::string line = log.text().substr(std::string("#       Done.\n").size());
  EXPECT_LE(line.size(), 4u + 511u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(0, 5), "#    ");
  // The cut drops whole characters: the text before the line end is pairs.
  size_t accented = line.size() - 1 - std::string("#       Alive: ").size();
  EXPECT_EQ(accented % 2, 0u);
  // A title's line breaks stay inside its line.
  LogCapture broken;
  context.log = broken.file();
  engineLine(context, "# Found dirty item: %s\n", "a\n# Log open for x\r\n!   boom");
  EXPECT_EQ(broken.text(), "#     Found dirty item: a # Log open for x  !   boom\n");
}

// Lines of plain "%s" conversions are put together without vsnprintf: the
// same bytes as vsnprintf makes (a precision sends a line through it),
// lengths around the cut included.
TEST(EngineLineTest, PlainTextLinesAreThoseOfTheGeneralFormatter) {
  std::mt19937 rng(3);
  for (int round = 0; round < 400; ++round) {
    const std::string a(rng() % 520, static_cast<char>('a' + rng() % 3));
    std::string b(rng() % 40, 'b');
    if (rng() % 2) b += "\xC3\xA9";
    LogCapture fast, general;
    SyncContext context;
    context.log = fast.file();
    engineLine(context, round % 2 ? "# %s: %s\n" : "# %s: %s", a.c_str(), b.c_str());
    context.log = general.file();
    engineLine(context, round % 2 ? "# %.9999s: %.9999s\n" : "# %.9999s: %.9999s", a.c_str(), b.c_str());
    ASSERT_EQ(fast.text(), general.text()) << "round " << round;
  }
}

TEST(EngineLineTest, MethodNames) {
  EXPECT_STREQ(collisionMethodName(0), "nil");
  EXPECT_STREQ(collisionMethodName(3), "By Time");
  EXPECT_STREQ(collisionMethodName(4), "Keep/Duplicate");
  EXPECT_STREQ(collisionMethodName(-1), "nil");
  EXPECT_STREQ(collisionMethodName(5), "nil");
}

TEST(FilePairingTest, NothingDirtyBailsOut) {
  Merge m("1,2", "1,2", kHhOverDt);
  m.run();
  EXPECT_EQ(m.log.text(), written({"# Synchronize file: 'Tolvk-Test'\n",
                                   "#   libsync version: 0.7.2 built: Oct 14 2003\n",
                                   "#   Both sides are same file. Will attempt to sync.\n",
                                   "# FAST sync database: Same handheld<->desktop pair\n", "#\n",
                                   "#   Nothing is dirty on either side. Bailing out.\n", "#\n"}));
  EXPECT_FALSE(m.context.changed);
  EXPECT_EQ(m.context.result, &m.desktop);
}

TEST(FilePairingTest, ForeignListsClobberByMethodKeepingTheLosersWork) {
  for (int32_t method : {0, 1, 2, 3, 4, 9}) {
    Merge m("1c(5,6d),2d(7c),8(9c(10d,11))", "1p,3c(12),4d", method);
    m.desktop.setUniqueTime(5);
    m.handheld.setUniqueTime(7);
    m.run();
    std::string text = m.log.text();
    EXPECT_NE(text.find(written({"! File unique: DT(5) HH(7l)\n",
                                 "! Collision; it is likely you deleted a file and\n  then created another one "
                                 "with the same name.\n"})),
              std::string::npos);
    if (method == 2) {
      EXPECT_NE(text.find("!     Your setting suggests DT over HH. Clobbering!\n"), std::string::npos);
      EXPECT_EQ(m.context.result, &m.desktop);
    } else if (method == 1) {
      EXPECT_NE(text.find("!     Your setting suggests HH over DT. Clobbering!\n"), std::string::npos);
      EXPECT_EQ(m.context.result, &m.handheld);
    } else {
      EXPECT_NE(text.find("!     Your setting doesn't help in this situation; assuming!\nHH over DT to resolve. "
                          "Clobbering!\n"),
                std::string::npos);
      EXPECT_EQ(m.context.result, &m.handheld);
    }
    EXPECT_TRUE(m.context.changed);
    // The winner goes to both sides without its deleted items; what the loser
    // made or edited since (not below a deleted item) follows it, as new
    // items with their live subtrees, and so does, alone, every other live
    // item of the loser the winner does not hold; the loser is left as it
    // was, flags cleared.
    if (method == 2) {
      EXPECT_EQ(shape(*m.context.result), "1(5),8(9(11)),0(0)");
      EXPECT_NE(text.find(written({"! Your setting suggests DT over HH. Clobbering!\n",
                                   "#   Keep new or edited item: T3\n"})),
                std::string::npos);
    } else {
      EXPECT_EQ(shape(*m.context.result), "1,3(12),0(0),0(0(0))");
      EXPECT_NE(text.find(written({"#   Keep new or edited item: T1\n",
                                   "#   Keep item the other side does not hold: T8\n",
                                   "#   Keep new or edited item: T9\n"})),
                std::string::npos);
    }
    EXPECT_EQ(flagsOf(*m.context.result), "");
    EXPECT_EQ(flagsOf(method == 2 ? m.handheld : m.desktop), method == 2 ? "4d " : "6d 2d 10d ");
    EXPECT_EQ(text.find("FAST sync"), std::string::npos);
  }
}

// A desktop list waiting to go to the handheld never reached it: losing the
// collision, it gives up none of its live items.
TEST(FilePairingTest, ForeignListsKeepEveryItemOfADesktopListWaitingForUpload) {
  Merge m("1(5,6d),2d(7),8(9)", "3c,4d", kHhOverDt);
  m.desktop.setUniqueTime(5);
  m.desktop.setUploadFile(1);
  m.handheld.setUniqueTime(7);
  m.run();
  EXPECT_EQ(shape(*m.context.result), "3,0(0),0(0)");
  EXPECT_TRUE(m.log.contains(written({"#   Keep item waiting to go to the handheld: T1\n",
                                      "#   Keep item waiting to go to the handheld: T8\n"})));
}

TEST(FilePairingTest, SlowSkipsStampsAndZeroIdsWarn) {
  Merge m("1", "0,1", kDtOverHh, kSyncSlow);
  m.desktop.setUniqueTime(5);
  m.run();
  EXPECT_TRUE(m.log.contains(written({"! WARNING: The handheld data appears to be test data with\n!   invalid "
                                      "Unique-IDs. Ensure handheld Unique-IDs are\n!    non-zero. Crossing "
                                      "fingers.\n",
                                      "#   Collision test skipped on slow.\n",
                                      "# SLOW sync database: Same handheld<->desktop pair\n"})));
  EXPECT_EQ(m.context.result, &m.desktop);
}

TEST(FastContentTest, CleanTargetIsClobberedWholeLog) {
  Merge m("1,2(4),3", "1,2c,3", kHhOverDt);
  m.dt(2)->setLocalID("L2");
  m.hh(2)->setTitle("new");
  m.run();
  EXPECT_EQ(m.log.text(),
            written({"# Synchronize file: 'Tolvk-Test'\n", "#   libsync version: 0.7.2 built: Oct 14 2003\n",
                     "#   Both sides are same file. Will attempt to sync.\n",
                     "# FAST sync database: Same handheld<->desktop pair\n", "#\n",
                     "# Looking for dirties on handheld side:\n", "# Found dirty item: new\n",
                     "#   Found corresponding item. Sync: T2\n", "#     Source modified. Target clean. Clobber.\n",
                     "#\n", "# Desktop deletion listing:\n", "# Done deletion dump.\n", "#\n",
                     "# Some items may need to be kept alive since they will\n",
                     "# move before being deleted from under deleted parents:\n", "# Done bullet-dodge dump.\n",
                     "#\n", "# Clear desktop dirties.\n", "#\n",
                     "# Looking for undeleted moved items on handheld side:\n",
                     "# Clear desktop positional dirties.\n", "#\n", "# Done synch of this file.\n"}));
  EXPECT_EQ(shape(m.desktop), "1,2(4),3");  // replacement keeps place and children
  EXPECT_EQ(m.dt(2)->title(), "new");
  EXPECT_EQ(m.dt(2)->localID(), "L2");
  EXPECT_TRUE(m.context.changed);
  EXPECT_EQ(flagsOf(m.handheld), "");
}

TEST(FastContentTest, DeletionRows) {
  // 1: both deleted; 2: handheld deleted, desktop edited (survives);
  // 3: handheld deleted, desktop clean (goes); 4: desktop deleted, handheld edited.
  Merge m("1d,2c,3,4d", "1cd,2cd,3cd,4c", kHhOverDt);
  m.dt(4)->setLocalID("L4");
  m.run();
  std::string text = m.log.text();
  EXPECT_TRUE(m.log.contains(written({"#   Found corresponding item. Sync: T1\n",
                                      "#     Both sides are deleted. Ignoring for now.\n"})));
  EXPECT_TRUE(m.log.contains("#         Source deleted. Target alive+mod. Swap.\n"));
  EXPECT_TRUE(m.log.contains("#         Source deleted. Target alive. Delete.\n"));
  EXPECT_TRUE(m.log.contains("#         Source modified, target deleted. Copy.\n"));
  // The listing shows the items marked deleted before the purge.
  EXPECT_TRUE(m.log.contains(written({"# Desktop deletion listing:\n", "# T1 <del>\n",
                                      "# T3 <dirtyContent> <del>\n", "# Done deletion dump.\n"})));
  EXPECT_EQ(shape(m.desktop), "2,4");
  EXPECT_EQ(m.dt(4)->localID(), "L4");
  EXPECT_FALSE(m.dt(4)->deleted());
  EXPECT_EQ(flagsOf(m.desktop), "");
  EXPECT_EQ(shape(m.handheld), "4");
}

TEST(FastContentTest, BothDirtyByMethod) {
  struct Case { int32_t method; const char* marker; const char* shape; const char* title2; };
  for (const Case& c : {Case{kHhOverDt, "", "1,2,3", "hh"}, Case{kDtOverHh, "", "1,2,3", "dt"},
                        Case{kByTime, "!    !!!!!!!!!!! FAST TIME NYI !!!!!!!!!!!!!!!!!!\n", "1,2,3", "dt"},
                        Case{kKeepDuplicate, "", "1,2,2,3", "dt"}, Case{kMethodNil, "", "1,2,3", "dt"},
                        Case{42, "", "1,2,3", "dt"}}) {
    Merge m("1,2c,3", "1,2c,3", c.method);
    m.dt(2)->setTitle("dt");
    m.hh(2)->setTitle("hh");
    m.run();
    EXPECT_TRUE(m.log.contains(written({"#     Both sides dirty. Collision resolution.\n"}) +
                               "#           Configured: " + collisionMethodName(c.method) + "\n" + c.marker))
        << c.method;
    EXPECT_EQ(shape(m.desktop), c.shape) << c.method;
    EXPECT_EQ(m.dt(2)->title(), c.title2) << c.method;
    if (c.method == kKeepDuplicate) {
      EXPECT_EQ(m.dt(2)->next()->title(), "hh");
    }
    EXPECT_EQ(flagsOf(m.desktop), "");
  }
}

TEST(FastContentTest, NewItemsFollowHandheldOrder) {
  // Into an empty desktop: head first, then siblings and children behind
  // their copied referents.
  Merge m("", "1c(2c(3c),4c),5c", kHhOverDt);
  m.run();
  EXPECT_EQ(shape(m.desktop), "1(2(3),4),5");
  EXPECT_EQ(flagsOf(m.desktop), "");
  EXPECT_TRUE(m.log.contains(written({"# Found dirty item: T1\n", "#   No corresponding item found.\n",
                                      "#     Source item is new (and not deleted). Copy.\n",
                                      "#       Will be copied as new list head.\n", "#   Done.\n",
                                      "# Found dirty item: T2\n", "#   No corresponding item found.\n",
                                      "#     Source item is new (and not deleted). Copy.\n",
                                      "#       Will be copied as child.\n", "#         Referent: T1\n",
                                      "#   Done.\n"})));
  // A new first item goes in front of the existing row.
  Merge head("7,8", "6c,7,8", kHhOverDt);
  head.run();
  EXPECT_EQ(shape(head.desktop), "6,7,8");
}

TEST(FastContentTest, MissingReferentCopiesToEnd) {
  Merge m("1(2)", "1,9,3c,4(5c)", kHhOverDt);
  m.run();
  EXPECT_EQ(shape(m.desktop), "1(2),3,5");
  EXPECT_TRUE(m.log.contains(written({"#       Will be copied as sibling.\n",
                                      "#       ERROR: Bad referent. Copy to end.\n", "#   Done.\n"})));
  EXPECT_TRUE(m.log.contains(written({"#       Will be copied as child.\n",
                                      "#       ERROR: Bad referent. Copy to end.\n"})));
  // A deleted new item is ignored.
  Merge d("1", "1,2cd", kHhOverDt);
  d.run();
  EXPECT_TRUE(d.log.contains(written({"#   No corresponding item found.\n",
                                      "#     Source item is deleted, so ignore for now.\n", "#   Done.\n"})));
  EXPECT_EQ(shape(d.desktop), "1");
}

TEST(FastKeepAliveTest, LiveItemsLeaveDeletedAncestors) {
  // Desktop: 1 deleted on the handheld with children 2 (live), 3 (deleted,
  // with live 4). The handheld moved 2 and 4 to the top level.
  Merge m("1(2,3(4)),5", "1cd(3cd),2p,4p,5", kHhOverDt);
  m.run();
  EXPECT_TRUE(m.log.contains(written({"# Some items may need to be kept alive since they will\n",
                                      "# move before being deleted from under deleted parents:\n",
                                      "#   Alive: T2 to move beside T1\n", "#   Alive: T4 to move beside T1\n",
                                      "# Done bullet-dodge dump.\n"})));
  EXPECT_TRUE(m.log.contains(written({"# Found dirtypos item: T2\n", "#   Matched: T2\n",
                                      "#   Source moved; target not moved. Move target.\n",
                                      "#     Becomes new head of list!\n"})));
  EXPECT_EQ(shape(m.desktop), "2,4,5");
}

TEST(FastKeepAliveTest, RescuedItemsStandMostRecentFirst) {
  Merge m("1(2,3),9", "1cd,9", kDtOverHh);
  m.run();
  // 3 is moved after 2, so it stands right behind 1, in front of 2.
  EXPECT_EQ(shape(m.desktop), "3,2,9");
}

TEST(FastMoveTest, RelocationsAndCollisions) {
  Merge m("1,2,3(4)", "3(4),1(2p)", kHhOverDt);
  m.hh(3)->setDirtyPosition(true);
  m.run();
  EXPECT_EQ(shape(m.desktop), "3(4),1(2)");
  EXPECT_TRUE(m.log.contains(written({"# Found dirtypos item: T2\n", "#   Matched: T2\n",
                                      "#   Source moved; target not moved. Move target.\n",
                                      "#     Move as child of: T1\n"})));

  Merge both("1,2p,3", "2p,1,3", kDtOverHh);
  both.run();
  EXPECT_TRUE(both.log.contains(written({"#   Both sides moved; collision management.\n",
                                         "#     Configured: DT over HH\n",
                                         "#     Method applies to moves as well. Whew.\n"})));
  EXPECT_EQ(shape(both.desktop), "1,2,3");
  EXPECT_EQ(flagsOf(both.desktop), "");

  Merge keep("1,2p,3", "2p,1,3", kKeepDuplicate);
  keep.run();
  EXPECT_TRUE(keep.log.contains("#         Method n/a to moves. Trusting desktop.\n"));
  EXPECT_EQ(shape(keep.desktop), "1,2,3");

  Merge lost("1", "1,2p", kHhOverDt);
  lost.run();
  EXPECT_TRUE(lost.log.contains("#       Move to below a deleted/missing item. Lost.\n"));
}

TEST(FastMoveTest, ReferentInsideOwnSubtreeIsBad) {
  // The handheld put 1 below 2; the desktop holds 2 below 1.
  Merge m("1(2)", "2(1p)", kHhOverDt);
  m.run();
  EXPECT_TRUE(m.log.contains(written({"#   Source moved; target not moved. Move target.\n",
                                      "#     BAD REFERENT!\n"})));
  EXPECT_EQ(shape(m.desktop), "1(2)");
}

}  // namespace
}  // namespace tolvex
