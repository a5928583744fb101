#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/os/HostOs.h"
#include "tests/os/TempHome.h"

namespace {

constexpr const char* kKey = "Software\\Marrowind\\Tolvex\\RegBool";

class RegistryTest : public ::testing::Test {
 protected:
  tolvex::testing::TempHome home;
};

TEST_F(RegistryTest, MissingKeyCannotBeOpenedButCanBeCreatedOnce) {
  OsRegKey key = nullptr;
  EXPECT_EQ(OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKey, &key), OS_REG_NOT_FOUND);
  EXPECT_EQ(key, nullptr);

  uint32_t disposition = 0;
  ASSERT_EQ(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", &key, &disposition), OS_REG_OK);
  EXPECT_EQ(disposition, static_cast<uint32_t>(OS_REG_CREATED_NEW_KEY));
  OsRegCloseKey(key);

  ASSERT_EQ(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", &key, &disposition), OS_REG_OK);
  EXPECT_EQ(disposition, static_cast<uint32_t>(OS_REG_OPENED_EXISTING_KEY));
  OsRegCloseKey(key);

  ASSERT_EQ(OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKey, &key), OS_REG_OK);
  OsRegCloseKey(key);
  // Parent keys exist once a child does.
  ASSERT_EQ(OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, "Software\\Marrowind", &key), OS_REG_OK);
  OsRegCloseKey(key);
}

TEST_F(RegistryTest, ValuesAreStoredReadablyAndReadBackWithTheirTypes) {
  OsRegKey key = nullptr;
  ASSERT_EQ(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", &key, nullptr), OS_REG_OK);
  uint32_t three = 3;
  const char* folder = "/home/ann/tolvan/";
  ASSERT_EQ(OsRegSetValue(key, "StrategyFastTemp", OS_REG_DWORD, &three, 4), OS_REG_OK);
  ASSERT_EQ(OsRegSetValue(key, "Flathead", OS_REG_SZ, folder, std::strlen(folder) + 1), OS_REG_OK);
  OsRegCloseKey(key);

  std::string ini = home.read("registry.ini");
  EXPECT_NE(ini.find("[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("StrategyFastTemp=3"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Flathead=/home/ann/tolvan/"), std::string::npos) << ini;

  ASSERT_EQ(OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKey, &key), OS_REG_OK);
  uint32_t type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(OsRegQueryValue(key, "StrategyFastTemp", &type, &value, &size), OS_REG_OK);
  EXPECT_EQ(type, static_cast<uint32_t>(OS_REG_DWORD));
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(size, 4u);

  char text[64];
  size = sizeof text;
  ASSERT_EQ(OsRegQueryValue(key, "Flathead", &type, text, &size), OS_REG_OK);
  EXPECT_EQ(type, static_cast<uint32_t>(OS_REG_SZ));
  EXPECT_STREQ(text, folder);
  EXPECT_EQ(size, std::strlen(folder) + 1);

  // Too small a buffer: an error and the size needed, nothing written past it.
  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_NE(OsRegQueryValue(key, "Flathead", &type, small, &size), OS_REG_OK);
  EXPECT_EQ(size, std::strlen(folder) + 1);
  EXPECT_EQ(small[0], 'x');

  size = sizeof value;
  EXPECT_EQ(OsRegQueryValue(key, "MethodTemp", &type, &value, &size), OS_REG_NOT_FOUND);
  OsRegCloseKey(key);
}

TEST_F(RegistryTest, ChangesAreSeenByAnEditOfTheFileAndByLaterCalls) {
  OsRegKey key = nullptr;
  ASSERT_EQ(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", &key, nullptr), OS_REG_OK);
  uint32_t minusOne = 0xFFFFFFFF;
  ASSERT_EQ(OsRegSetValue(key, "MethodPerm", OS_REG_DWORD, &minusOne, 4), OS_REG_OK);
  // Another process rewrites the file while the key is open.
  {
    std::ofstream out(home.file("registry.ini"));
    out << "[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]\nMethodPerm=4\n";
  }
  uint32_t value = 0, size = 4;
  ASSERT_EQ(OsRegQueryValue(key, "MethodPerm", nullptr, &value, &size), OS_REG_OK);
  EXPECT_EQ(value, 4u);
  OsRegCloseKey(key);
}

TEST_F(RegistryTest, BadArgumentsAreRefused) {
  OsRegKey key = nullptr;
  EXPECT_NE(OsRegOpenKey(99, kKey, &key), OS_REG_OK);
  EXPECT_NE(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, "Software\\\\Empty", "", &key, nullptr), OS_REG_OK);
  EXPECT_NE(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, "Software\\[bad]", "", &key, nullptr), OS_REG_OK);
  EXPECT_NE(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", nullptr, nullptr), OS_REG_OK);
  ASSERT_EQ(OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKey, "", &key, nullptr), OS_REG_OK);
  uint16_t shortValue = 1;
  EXPECT_NE(OsRegSetValue(key, "Short", OS_REG_DWORD, &shortValue, 2), OS_REG_OK);
  EXPECT_NE(OsRegSetValue(key, "a/b", OS_REG_SZ, "x", 2), OS_REG_OK);
  EXPECT_NE(OsRegSetValue(key, "Binary", 3, "x", 2), OS_REG_OK);
  // A string that would read back as a number is refused rather than retyped.
  EXPECT_NE(OsRegSetValue(key, "Digits", OS_REG_SZ, "42", 3), OS_REG_OK);
  OsRegCloseKey(key);
}

}  // namespace
