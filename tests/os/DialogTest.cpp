#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os/HostOs.h"

namespace {

const OsDialogControl kControls[] = {
    {1004, OS_CTL_STATIC, "Static", 0, 0, 10, 10},
    {407, OS_CTL_CHECKBOX, "Do &not synchronize", 0, 0, 10, 10},
    {404, OS_CTL_RADIO, "Synchronize", 0, 0, 10, 10},
    {405, OS_CTL_RADIO, "Copy desktop file over handheld", 0, 0, 10, 10},
    {406, OS_CTL_RADIO, "Copy handheld file over desktop", 0, 0, 10, 10},
    {1003, OS_CTL_PICTURE, "", 0, 0, 10, 10},
    {1, OS_CTL_DEFBUTTON, "OK", 0, 0, 10, 10},
    {2, OS_CTL_BUTTON, "Cancel", 0, 0, 10, 10},
    {9, OS_CTL_BUTTON, "&Help", 0, 0, 10, 10},
};
const OsDialogTemplate kDialogs[] = {
    {101, "Change HotSync Action", "MS Sans Serif", 8, 301, 271, kControls, sizeof kControls / sizeof kControls[0]},
};
const uint32_t kPixels[] = {0xC0C0C0, 0x000000};
const OsBitmapResource kBitmaps[] = {{106, 2, 1, kPixels}};
const OsStringResource kStrings[] = {{1, "Tolvex"}, {8009, "Synchronize"}};
const OsResourceTable kTable = {kStrings, 2, kDialogs, 1, kBitmaps, 1, "Choose what the next HotSync does."};

// Records what the procedure saw; behaves like a small action dialog.
struct Seen {
  void* initParam = nullptr;
  std::vector<std::string> events;
  bool ignoreOk = false;
};
Seen* seen = nullptr;

int procedure(OsDialog dialog, int message, uint32_t id, void* param) {
  switch (message) {
    case OS_MSG_INITDIALOG:
      seen->initParam = param;
      OsSetWindowText(dialog, "Tolvex");
      OsCheckRadioButton(dialog, 404, 406, 404);
      OsSetDlgItemBitmap(dialog, 1003, OsRegisterModule("/lib/libtest.so", &kTable), 106);
      return 1;
    case OS_MSG_COMMAND:
      seen->events.push_back("command " + std::to_string(id));
      if (id == 407) OsCheckDlgButton(dialog, 407, !OsIsDlgButtonChecked(dialog, 407));
      if (id >= 404 && id <= 406) OsCheckRadioButton(dialog, 404, 406, id);
      if (id == 1 && !seen->ignoreOk) OsEndDialog(dialog, OsIsDlgButtonChecked(dialog, 407) ? 60 : 10);
      if (id == 2) OsEndDialog(dialog, 1);
      return 1;
    case OS_MSG_HELP:
      seen->events.push_back("help");
      return 1;
    case OS_MSG_SYSCOLORCHANGE:
      seen->events.push_back("colours");
      return 1;
    case OS_MSG_DESTROY:
      seen->events.push_back("destroy");
      return 1;
  }
  return 0;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seen = &state;
    module = OsRegisterModule("/lib/libtest.so", &kTable);
  }
  Seen state;
  OsModule module = nullptr;
};

TEST_F(DialogTest, ScriptedClicksArriveInOrderThenOk) {
  const uint32_t clicks[] = {407, 406, OS_DIALOG_SCRIPT_HELP, OS_DIALOG_SCRIPT_SYSCOLORCHANGE};
  OsDialogScript(clicks, 4, OS_DIALOG_END_OK);
  int param = 0;
  EXPECT_EQ(OsDialogBox(module, 101, procedure, &param), 60);
  EXPECT_EQ(state.initParam, &param);
  std::vector<std::string> expected = {"command 407", "command 406", "help", "colours", "command 1", "destroy"};
  EXPECT_EQ(state.events, expected);
  EXPECT_EQ(OsDialogLastResult(), 60);
  EXPECT_STREQ(OsDialogLastTitle(), "Tolvex");
  EXPECT_EQ(OsDialogLastChecked(407), 1);
  EXPECT_EQ(OsDialogLastChecked(404), 0);
  EXPECT_EQ(OsDialogLastChecked(406), 1);
  EXPECT_EQ(OsDialogLastBitmap(1003), 106u);
}

TEST_F(DialogTest, ScriptServesOneDialogAndWithoutOneTheDialogIsCancelled) {
  OsDialogScript(nullptr, 0, OS_DIALOG_END_OK);
  EXPECT_EQ(OsDialogBox(module, 101, procedure, nullptr), 10);
  state.events.clear();
  EXPECT_EQ(OsDialogBox(module, 101, procedure, nullptr), 1);
  std::vector<std::string> expected = {"command 2", "destroy"};
  EXPECT_EQ(state.events, expected);
}

TEST_F(DialogTest, AProcedureThatIgnoresOkStillEnds) {
  state.ignoreOk = true;
  OsDialogScript(nullptr, 0, OS_DIALOG_END_OK);
  EXPECT_EQ(OsDialogBox(module, 101, procedure, nullptr), 1);
}

TEST_F(DialogTest, MissingTemplateOrProcedureAnswersMinusOne) {
  EXPECT_EQ(OsDialogBox(module, 399, procedure, nullptr), -1);
  EXPECT_EQ(OsDialogBox(module, 101, nullptr, nullptr), -1);
  EXPECT_EQ(OsDialogBox(nullptr, 101, procedure, nullptr), -1);
  EXPECT_TRUE(state.events.empty());
}

// Controls absent from the template answer 0 and change nothing.
int missingControls(OsDialog dialog, int message, uint32_t, void*) {
  if (message != OS_MSG_INITDIALOG) return 0;
  char text[16] = "unchanged";
  seen->events.push_back(std::to_string(OsSetDlgItemText(dialog, 1006, "x")));
  seen->events.push_back(std::to_string(OsGetDlgItemText(dialog, 1006, text, sizeof text)) + text);
  seen->events.push_back(std::to_string(OsCheckDlgButton(dialog, 415, 1)));
  seen->events.push_back(std::to_string(OsIsDlgButtonChecked(dialog, 415)));
  seen->events.push_back(std::to_string(OsCheckRadioButton(dialog, 410, 412, 411)));
  seen->events.push_back(std::to_string(OsSetDlgItemBitmap(dialog, 1003, nullptr, 106)));
  seen->events.push_back(std::to_string(OsSetDlgItemText(dialog, 1004, "Synchronize")));
  char small[5];
  seen->events.push_back(std::to_string(OsGetDlgItemText(dialog, 1004, small, sizeof small)) + small);
  OsEndDialog(dialog, 7);
  OsEndDialog(dialog, 8);  // the first end counts
  return 1;
}

TEST_F(DialogTest, ControlsMissingFromTheTemplateAnswerZero) {
  EXPECT_EQ(OsDialogBox(module, 101, missingControls, nullptr), 7);
  std::vector<std::string> expected = {"0", "0", "0", "0", "0", "0", "1", "4Sync"};
  EXPECT_EQ(state.events, expected);
  EXPECT_STREQ(OsDialogLastText(1004), "Synchronize");
  EXPECT_STREQ(OsDialogLastText(1006), "");
}

TEST(ResourceTest, StringsLoadCutToTheBuffer) {
  OsModule module = OsRegisterModule("/lib/libtest.so", &kTable);
  EXPECT_EQ(OsRegisterModule("/lib/libtest.so", &kTable), module);
  EXPECT_STREQ(OsModulePath(module), "/lib/libtest.so");
  char text[4];
  EXPECT_EQ(OsLoadString(module, 1, text, sizeof text), 3);
  EXPECT_STREQ(text, "Tol");
  EXPECT_EQ(OsLoadString(module, 8004, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(OsLoadString(nullptr, 1, text, sizeof text), 0);
}

TEST(HelpTest, ShowsTheModuleTextAndRecordsTheRequest) {
  OsModule module = OsRegisterModule("/lib/libtest.so", &kTable);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(OsWinHelp(module, "/lib/hotsync.hlp", 1, 131471), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Choose what the next HotSync does.\n");
  EXPECT_STREQ(OsLastHelpRequest(), "/lib/hotsync.hlp#131471");
}

}  // namespace
