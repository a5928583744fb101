#include "desktop/TextEncoding.h"

#include <gtest/gtest.h>

#include <wx/strconv.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tolvex {
namespace {

std::string toHandheld(std::string_view utf8) {
  size_t length = 0;
  const char* bytes = utf8ToHandheld(utf8, &length);
  return std::string(bytes, length);
}

std::string fromHandheld(std::string_view bytes) {
  return handheldToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(Escaping, ThreeEscapesAndQuotesInAttributes) {
  EXPECT_EQ(escapeXmlText("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d\"e'f");
  EXPECT_EQ(escapeXmlText("&amp;"), "&amp;amp;");
  EXPECT_EQ(escapeXmlText(""), "");
  EXPECT_EQ(escapeXmlAttribute("a&<>\"'"), "a&amp;&lt;&gt;&quot;'");
  EXPECT_EQ(escapeXmlAttribute("x\ty\nz\r"), "x&#9;y&#10;z&#13;");
}

TEST(ReplaceAll, ReplacementIsNeverSearchedAgain) {
  EXPECT_EQ(replaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(replaceAll("abcabc", "bc", ""), "aa");
  EXPECT_EQ(replaceAll("xyz", "q", "r"), "xyz");
  EXPECT_EQ(replaceAll("", "q", "r"), "");
}

TEST(PseudoEntities, EveryRowBothWays) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"!bullet!;", "\xC2\x95"},  {"!apos!;", "\xC2\x92"},    {"!dash!;", "\xC2\x96"},
      {"!fdquote!;", "\xC2\x94"}, {"!bdquote!;", "\xC2\x93"}, {"!bsquote!;", "\xC2\x91"},
      {"!gbp!;", "\xC2\xA3"}};
  for (const auto& [entity, character] : rows) {
    EXPECT_EQ(encodePseudoEntities("x" + character + "y"), "x" + entity + "y");
    EXPECT_EQ(decodePseudoEntities("x" + entity + "y"), "x" + character + "y");
  }
}

TEST(PseudoEntities, OnlyWholeCharactersAndExactNames) {
  // O with tilde (C3 95), a with tilde (C3 A3), en dash U+2013 (E2 80 93).
  EXPECT_EQ(encodePseudoEntities("\xC3\x95\xC3\xA3\xE2\x80\x93"), "\xC3\x95\xC3\xA3\xE2\x80\x93");
  EXPECT_EQ(decodePseudoEntities("!BULLET!; !bullet! !gbp;"), "!BULLET!; !bullet! !gbp;");
  EXPECT_EQ(encodeListText("\xC2\xA3 & <b>"), "!gbp!; &amp; &lt;b&gt;");
}

TEST(HandheldText, LatinOneRoundTripsEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8 = fromHandheld(all);
  EXPECT_EQ(utf8.size(), 127u + 2 * 128u);
  EXPECT_EQ(toHandheld(utf8), all);
  EXPECT_EQ(fromHandheld("\xA3"), "\xC2\xA3");
  EXPECT_EQ(fromHandheld("\x95"), "\xC2\x95");
  EXPECT_EQ(toHandheld(""), "");
  EXPECT_STREQ(handheldToUtf8(nullptr, 0), "");
}

TEST(HandheldText, AboveLatinOneUsesWindows1252OrQuestionMark) {
  EXPECT_EQ(toHandheld("\xE2\x80\xA2"), "\x95");      // bullet
  EXPECT_EQ(toHandheld("\xE2\x80\x93"), "\x96");      // en dash
  EXPECT_EQ(toHandheld("\xE2\x82\xAC"), "\x80");      // euro
  EXPECT_EQ(toHandheld("a\xE4\xB8\xAD" "b"), "a?b");  // CJK: no byte
  EXPECT_EQ(toHandheld("\xF0\x9F\x98\x80!"), "?!");   // outside the BMP: one "?"
}

TEST(HandheldText, InvalidUtf8CutsAtFirstError) {
  EXPECT_EQ(toHandheld("ab\x80zz"), "ab");             // stray continuation
  EXPECT_EQ(toHandheld("ab\xC3"), "ab");               // lead without continuation
  EXPECT_EQ(toHandheld("ab\xC3" "a"), "ab");
  EXPECT_EQ(toHandheld("ab\xC0\xAF"), "ab");           // overlong "/"
  EXPECT_EQ(toHandheld("ab\xE0\x80\xAF"), "ab");       // overlong, three bytes
  EXPECT_EQ(toHandheld("ab\xF4\x90\x80\x80"), "ab");   // above U+10FFFF
  EXPECT_EQ(toHandheld("ab\xED\xA0\x80"), "ab");       // surrogate
  EXPECT_EQ(toHandheld(std::string_view("ab\0cd", 5)), "ab");
}

// The conversion as it was made through wxWidgets' UTF-8 converter.
std::string latin1ByConverter(std::string_view utf8, size_t maxChars) {
  size_t chars = 0;
  const size_t valid = validUtf8Prefix(utf8, maxChars, &chars);
  std::string out;
  if (valid == 0) return out;
  std::vector<wchar_t> wide(chars + 1, 0);
  const size_t units = wxMBConvUTF8().ToWChar(wide.data(), wide.size(), utf8.data(), valid);
  for (size_t i = 0; i < units && wide[i] != 0; ++i) {
    const auto cp = static_cast<uint32_t>(wide[i]);
    const uint8_t b = cp1252ByteFor(cp);
    out += cp <= 0xFF ? static_cast<char>(cp) : b != 0 ? static_cast<char>(b) : '?';
  }
  return out;
}

TEST(HandheldText, DirectDecodingMatchesTheConverter) {
  const std::vector<std::string> pieces = {"a", "\xC3\xA9", "\xE2\x80\xA2", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                           "\x80", "\xC3", "\xED\xA0\x80", std::string(1, '\0'), "\xEF\xBF\xBF",
                                           "\xC2\x85", "\xF4\x8F\xBF\xBF", "\xE0\xA0\x80"};
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (size_t n = rng() % 12; n > 0; --n) text += pieces[rng() % pieces.size()];
    const size_t maxChars = rng() % 4 == 0 ? rng() % 6 : SIZE_MAX;
    ASSERT_EQ(utf8ToLatin1Bytes(text, maxChars), latin1ByConverter(text, maxChars)) << text;
  }
}

TEST(HandheldText, SharedBufferIsOverwrittenAndBounded) {
  const char* first = utf8ToHandheld("one");
  const char* second = utf8ToHandheld("two");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "two");

  std::string huge(20000, 'x');
  size_t length = 0;
  utf8ToHandheld(huge, &length);
  EXPECT_EQ(length, 8192u);

  // 8194 two-byte characters do not fit; the result keeps whole characters.
  std::string bytes(8194, '\xE9');
  std::string utf8 = handheldToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(utf8.size(), 8192u);
}

// Each thread converts into a buffer of its own: two threads converting
// different texts at once each read back exactly their own.
TEST(HandheldText, EachThreadHasItsOwnResultBuffer) {
  auto convert = [](char letter, int* wrong) {
    const std::string utf8(300, letter);
    const std::string bytes(300, static_cast<char>(0xE0 + (letter & 0x0F)));
    for (int i = 0; i < 20000; ++i) {
      const char* handheld = utf8ToHandheld(utf8);
      *wrong += std::string(handheld) != utf8;
      const char* back = handheldToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      *wrong += std::strlen(back) != 600 || static_cast<unsigned char>(back[1]) != 0x80 + 0x20 + (letter & 0x0F);
    }
  };
  int wrongA = 0, wrongB = 0;
  std::thread a(convert, 'a', &wrongA), b(convert, 'b', &wrongB);
  a.join();
  b.join();
  EXPECT_EQ(wrongA, 0);
  EXPECT_EQ(wrongB, 0);
}

TEST(HandheldText, Utf16PairsAndLoneSurrogates) {
  const uint16_t pair[] = {0x41, 0xD83D, 0xDE00, 0};
  EXPECT_STREQ(utf16ToUtf8(pair), "A\xF0\x9F\x98\x80");
  const uint16_t lone[] = {0x41, 0xD83D, 0x42, 0};
  EXPECT_STREQ(utf16ToUtf8(lone), "A\xEF\xBF\xBD" "B");
}

TEST(Cp1252, TableAndReverseLookup) {
  EXPECT_EQ(cp1252CodePoint(0x41), 0x41);
  EXPECT_EQ(cp1252CodePoint(0x80), 0x20AC);
  EXPECT_EQ(cp1252CodePoint(0x95), 0x2022);
  EXPECT_EQ(cp1252CodePoint(0x9F), 0x0178);
  EXPECT_EQ(cp1252CodePoint(0xFF), 0xFF);
  for (uint8_t b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(cp1252CodePoint(b), 0) << int(b);
  for (int b = 0x80; b <= 0x9F; ++b) {
    uint16_t cp = cp1252CodePoint(static_cast<uint8_t>(b));
    if (cp != 0) {
      EXPECT_EQ(cp1252ByteFor(cp), b);
    }
  }
  EXPECT_EQ(cp1252ByteFor(0x4E2D), 0);
  EXPECT_EQ(cp1252ByteFor(0xE9), 0);
}

TEST(Cp1252, HandlerAcceptsTheNamesOfWindows1252Only) {
  XML_Encoding info{};
  for (const char* other : {"windows-1250", "cp125", "CP12520", "windows-12521", "cp_1252", "windows", ""}) {
    EXPECT_EQ(cp1252EncodingHandler(nullptr, other, &info), XML_STATUS_ERROR) << other;
  }
  for (const char* name : {"cp1252", "windows-1252", "Windows-1252", "WINDOWS-1252", "CP-1252", "x-cp1252"}) {
    EXPECT_EQ(cp1252EncodingHandler(nullptr, name, &info), XML_STATUS_OK) << name;
  }
  ASSERT_EQ(cp1252EncodingHandler(nullptr, "CP1252", &info), XML_STATUS_OK);
  EXPECT_EQ(info.map[0x95], 0x2022);
  EXPECT_EQ(info.map[0x81], 0);
  EXPECT_EQ(info.convert, nullptr);
}

TEST(XmlSafe, DropsWhatXmlCannotHold) {
  EXPECT_EQ(xmlSafeUtf8("a\x01" "b\tc\nd\re"), "ab\tc\nd&#13;e");
  EXPECT_EQ(xmlSafeUtf8("x\xEF\xBF\xBFy\xFFz\xC3\xA9"), "xyz\xC3\xA9");
  EXPECT_EQ(xmlSafeLatin1("a\x02\xE9\r"), "a\xE9&#13;");
}

}  // namespace
}  // namespace tolvex
