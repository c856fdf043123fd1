#include "platform/registry/store_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mailvane {
namespace {

using std::string_literals::operator""s;

constexpr char kMv[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane";

std::string Doc(const std::string& body) {
  return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n" + body + "\n\n";
}

// One value line each: what it reads as, or that it is skipped.
TEST(StoreFileTest, ValueLines) {
  struct Case {
    std::string line;
    bool readable = false;
    std::string name = "";
    uint32_t type = REG_NONE;
    std::string data = "";
  };
  const std::vector<Case> cases = {
      {R"("A"="text")", true, "A", REG_SZ, std::string("text\0", 5)},
      {R"("A"="")", true, "A", REG_SZ, std::string("\0", 1)},
      {R"("A"="q\"b\\s")", true, "A", REG_SZ, std::string("q\"b\\s\0", 6)},
      {R"("A"="C:\temp")", true, "A", REG_SZ, std::string("C:\\temp\0", 8)},
      {"\"A\"=\"gr\xC3\xBC\xC3\x9F\"", true, "A", REG_SZ, std::string("gr\xC3\xBC\xC3\x9F\0", 7)},
      {R"("A" = "spaced"  )", true, "A", REG_SZ, std::string("spaced\0", 7)},
      {R"("A"=dword:0000001e)", true, "A", REG_DWORD, std::string("\x1e\0\0\0", 4)},
      {R"("A"=DWORD:FFFFFFFF)", true, "A", REG_DWORD, "\xff\xff\xff\xff"},
      {R"("A"=hex:00,ff,10)", true, "A", REG_BINARY, std::string("\0\xff\x10", 3)},
      {R"("A"=hex(1):33,30,00)", true, "A", REG_SZ, std::string("30\0", 3)},
      {R"("A"=hex(1):)", true, "A", REG_SZ, ""},
      {R"("A"=hex(2):25,00)", true, "A", REG_EXPAND_SZ, std::string("%\0", 2)},
      {R"("A"=hex(b):01,00,00,00,00,00,00,00)", true, "A", 11, std::string("\1\0\0\0\0\0\0\0", 8)},
      {R"(@="default")", true, "", REG_SZ, std::string("default\0", 8)},
      {R"("Q\"N"="x")", true, "Q\"N", REG_SZ, std::string("x\0", 2)},
      {R"("A"="unterminated)", false},
      {R"("A"="x" trailing)", false},
      {R"("A"=dword:123456789)", false},
      {R"("A"=dword:zz)", false},
      {R"("A"=hex:4)", true, "A", REG_BINARY, "\x04"},
      {R"("A"=hex:41,,42)", false},
      {R"("A"=hex:411)", false},
      {R"("A"=hex(zz):41)", false},
      {R"("A"=hex(1:41)", false},
      {R"("A"=-)", false},
      {R"("A" "x")", false},
      {R"(A="x")", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ParsedStore parsed = ParseStoreFile(Doc(c.line));
    const StoredKey* key = parsed.store.FindKey(kMv);
    ASSERT_NE(key, nullptr);
    if (!c.readable) {
      EXPECT_EQ(parsed.bad_lines, 1);
      EXPECT_TRUE(key->values.empty());
      continue;
    }
    EXPECT_EQ(parsed.bad_lines, 0);
    ASSERT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->values[0], (StoredValue{c.name, c.type, c.data}));
  }
}

// How each kind of value is written, and that it reads back as it was.
TEST(StoreFileTest, SerializesEachFormAndReadsItBack) {
  struct Case {
    StoredValue value;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"S", REG_SZ, std::string("a\"b\\c\0", 6)}, R"("S"="a\"b\\c")"},
      {{"U", REG_SZ, std::string("\xC3\xA9t\xC3\xA9\0", 6)}, "\"U\"=\"\xC3\xA9t\xC3\xA9\""},
      {{"E", REG_SZ, std::string("\0", 1)}, R"("E"="")"},
      {{"N", REG_SZ, ""}, R"("N"=hex(1):)"},
      {{"T", REG_SZ, "30"}, R"("T"=hex(1):33,30)"},
      {{"L", REG_SZ, std::string("a\r\nb\0", 5)}, R"("L"=hex(1):61,0d,0a,62,00)"},
      {{"Z", REG_SZ, std::string("a\0b\0", 4)}, R"("Z"=hex(1):61,00,62,00)"},
      {{"D", REG_DWORD, std::string("\x1e\0\0\0", 4)}, R"("D"=dword:0000001e)"},
      {{"D3", REG_DWORD, std::string("\x1e\0\0", 3)}, R"("D3"=hex(4):1e,00,00)"},
      {{"B", REG_BINARY, "\x01\xab"}, R"("B"=hex:01,ab)"},
      {{"X", REG_EXPAND_SZ, std::string("%\0", 2)}, R"("X"=hex(2):25,00)"},
      {{"", REG_SZ, std::string("d\0", 2)}, R"(@="d")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Store store;
    store.SetValue(kMv, c.value.name, c.value.type, c.value.data);
    std::string text = SerializeStore(store);
    EXPECT_EQ(text, Doc(c.line));
    ParsedStore again = ParseStoreFile(text);
    EXPECT_FALSE(again.damaged());
    EXPECT_EQ(again.store, store);
  }
}

TEST(StoreFileTest, LongHexListsWrapAndJoin) {
  Store store;
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i));
  store.SetValue(kMv, "Blob", REG_BINARY, data);
  std::string text = SerializeStore(store);
  size_t start = 0, lines = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_LE(end - start, 80u);
    start = end + 1;
    ++lines;
  }
  EXPECT_GT(lines, 10u);
  ParsedStore again = ParseStoreFile(text);
  EXPECT_FALSE(again.damaged());
  EXPECT_EQ(again.store, store);
}

TEST(StoreFileTest, WindowsExportWithCrLfImportsAsItStands) {
  const std::string exported =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\r\n"
      "\"LogDir\"=\"C:\\\\Program Files\\\\Mailvane\\\\\"\r\n"
      "\"InternalPort\"=\"25\"\r\n"
      "\"Blob\"=hex:01,02,03,\\\r\n"
      "  04,05\r\n"
      "\"Count\"=dword:0000001e\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane\\Sub]\r\n"
      "@=\"x\"\r\n"
      "\r\n";
  ParsedStore parsed = ParseStoreFile(exported);
  EXPECT_FALSE(parsed.damaged());
  const StoredKey* key = parsed.store.FindKey(kMv);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 4u);
  EXPECT_EQ(key->FindValue("logdir")->data, std::string("C:\\Program Files\\Mailvane\\\0", 27));
  EXPECT_EQ(key->FindValue("InternalPort")->data, std::string("25\0", 3));
  EXPECT_EQ(key->FindValue("Blob")->data, "\x01\x02\x03\x04\x05");
  EXPECT_EQ(key->FindValue("Count")->type, REG_DWORD);
  ASSERT_NE(parsed.store.FindKey(std::string(kMv) + "\\SUB"), nullptr);
}

TEST(StoreFileTest, Utf16ExportIsReadAsUtf8) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\r\n"
      "\"Name\"=\"caf\xC3\xA9\"\r\n";
  // Encode as UTF-16LE with its byte order mark (all characters lie in the BMP).
  std::string utf16 = "\xFF\xFE";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    if (c == 0xC3) cp = 0xC0 | (static_cast<unsigned char>(text[++i]) & 0x3F);
    utf16.push_back(static_cast<char>(cp & 0xFF));
    utf16.push_back(static_cast<char>(cp >> 8));
  }
  ParsedStore parsed = ParseStoreFile(utf16);
  EXPECT_FALSE(parsed.damaged());
  const StoredKey* key = parsed.store.FindKey(kMv);
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->FindValue("Name"), nullptr);
  EXPECT_EQ(key->FindValue("Name")->data, std::string("caf\xC3\xA9\0", 6));
}

TEST(StoreFileTest, DamagedFileKeepsWhatCanBeRead) {
  std::string text =
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n"
      "\"Good1\"=\"one\"\n"
      "garbage line here\n"
      "\"Cut\"=hex:41,42,\\\n"  // continuation cut by a section line
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n"
      "\x01\x02\xff\xfe\x00junk\n"
      "[NOT_A_ROOT\\X]\n"
      "\"Lost\"=\"in a bad section\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n"
      "; a comment\n"
      "\"Good2\"=dword:00000002\n"
      "\"Trunc\"=hex(1):4"s;
  text.append("\n\"Half\"=\"no end");
  ParsedStore parsed = ParseStoreFile(text);
  EXPECT_TRUE(parsed.damaged());
  EXPECT_FALSE(parsed.bad_header);
  EXPECT_EQ(parsed.bad_lines, 6);
  const StoredKey* key = parsed.store.FindKey(kMv);
  ASSERT_NE(key, nullptr);
  std::vector<std::string> names;
  for (const StoredValue& v : key->values) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Good1", "Good2", "Trunc"}));
  EXPECT_EQ(parsed.store.keys().size(), 1u);
}

TEST(StoreFileTest, HeaderAndEmptyFile) {
  EXPECT_FALSE(ParseStoreFile("").damaged());
  EXPECT_FALSE(ParseStoreFile("REGEDIT4\n").damaged());
  EXPECT_FALSE(ParseStoreFile("\xEF\xBB\xBFREGEDIT4\r\n").damaged());
  ParsedStore headless = ParseStoreFile("[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n");
  EXPECT_TRUE(headless.bad_header);
  EXPECT_EQ(headless.bad_lines, 0);
  ASSERT_NE(headless.store.FindKey("HKEY_LOCAL_MACHINE\\A"), nullptr);
}

TEST(StoreFileTest, KeysCompareWithoutCaseAndMergeDuplicateSections) {
  ParsedStore parsed = ParseStoreFile(
      "REGEDIT4\n\n[hkey_local_machine\\Software\\Mailvane]\n\"A\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MAILVANE]\n\"a\"=\"2\"\n\"B\"=\"3\"\n");
  ASSERT_EQ(parsed.store.keys().size(), 1u);
  const StoredKey& key = parsed.store.keys()[0];
  EXPECT_EQ(key.path, "HKEY_LOCAL_MACHINE\\Software\\Mailvane");
  ASSERT_EQ(key.values.size(), 2u);
  EXPECT_EQ(key.values[0], (StoredValue{"A", REG_SZ, std::string("2\0", 2)}));
}

TEST(StoreFileTest, KeyExistenceAndCreation) {
  Store store;
  EXPECT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(store.KeyExists(kMv));
  EXPECT_TRUE(store.CreateKey(std::string(kMv) + "\\Sub"));
  EXPECT_TRUE(store.KeyExists("hkey_local_machine\\software"));
  EXPECT_TRUE(store.KeyExists(kMv));
  EXPECT_FALSE(store.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Mail"));
  EXPECT_FALSE(store.CreateKey(kMv));
  EXPECT_EQ(store.keys().size(), 3u);  // SOFTWARE, Mailvane, Sub

  struct PathCase {
    const char* path;
    bool valid;
  };
  for (const PathCase& c : std::vector<PathCase>{{"HKEY_LOCAL_MACHINE", true},
                                                 {"HKEY_USERS\\x y", true},
                                                 {"HKLM\\SOFTWARE", false},
                                                 {"HKEY_LOCAL_MACHINE\\", false},
                                                 {"HKEY_LOCAL_MACHINE\\\\A", false},
                                                 {"HKEY_LOCAL_MACHINE\\A\nB", false},
                                                 {"", false}}) {
    EXPECT_EQ(IsValidKeyPath(c.path), c.valid) << c.path;
  }
}

}  // namespace
}  // namespace mailvane
