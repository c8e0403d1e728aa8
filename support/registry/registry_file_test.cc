#include "support/registry/registry_file.h"

#include <gtest/gtest.h>

#include "support/registry/registry_data.h"

namespace kiv::registry {
namespace {

Value Text(std::u16string name, std::u16string_view text) {
  return {std::move(name), kRegSz, StringData(text)};
}

TEST(RegistryFile, SerializesEveryKindOfValueAndParsesItBack) {
  Hive hive;
  Key& zib = hive.OpenOrCreateKey(Root::kLocalMachine, u"Software\\ZIB Networks\\Zib");
  SetValue(zib, {u"LogLevel", kRegDword, DwordData(10)});
  SetValue(zib, Text(u"quote\"and\\slash", u"C:\\Program Files\\\"x\""));
  SetValue(zib, Text(u"", u"\u65e5\u00e9"));  // units with a high byte
  SetValue(zib, Text(u"Empty", u""));
  SetValue(zib, {u"Blob", kRegBinary, {0x01, 0x02, 0xff}});
  SetValue(zib, {u"Multi", 7, {0x61, 0, 0, 0}});
  SetValue(zib, {u"Lines", kRegSz, StringData(u"a\nb")});   // no room on one line
  SetValue(zib, {u"Unended", kRegSz, {0x61, 0x00}});        // no terminating zero
  SetValue(zib, {u"Lone", kRegSz, StringData(u"\xD800")});  // UTF-8 cannot carry it
  SetValue(zib, {u"Short", kRegDword, {0x05}});             // not 4 bytes
  hive.OpenOrCreateKey(Root::kClassesRoot, u"CLSID\\{1}\\InprocServer32");
  hive.OpenOrCreateKey(Root::kClassesRoot, u"");

  const std::string text = SerializeHive(hive);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
            "\"LogLevel\"=dword:0000000a\n"
            "\"quote\\\"and\\\\slash\"=\"C:\\\\Program Files\\\\\\\"x\\\"\"\n"
            "@=\"\xe6\x97\xa5\xc3\xa9\"\n"
            "\"Empty\"=\"\"\n"
            "\"Blob\"=hex:01,02,ff\n"
            "\"Multi\"=hex(7):61,00,00,00\n"
            "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\n"
            "\"Unended\"=hex(1):61,00\n"
            "\"Lone\"=hex(1):00,d8,00,00\n"
            "\"Short\"=hex(4):05\n"
            "\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32]\n"
            "\n"
            "[HKEY_CLASSES_ROOT]\n"
            "\n");
  ParseError error;
  const auto parsed = ParseHive(text, &error);
  ASSERT_TRUE(parsed) << error.line << ": " << error.message;
  EXPECT_EQ(*parsed, hive);
}

TEST(RegistryFile, ReadsWhatPeopleAndOtherToolsWrite) {
  const auto hive = ParseHive(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[hkey_local_machine\\Software\\Zib]  \r\n"
      "  \"Wrapped\"=hex:01,02,\\\r\n"
      "    03,04\r\n"
      "\"Num\"=dword:FF\r\n"
      "\"AsDword\"=hex(4):01,00,00,00\r\n"
      "\"\"=\"default\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZIB]\r\n"
      "\"NUM\"=dword:1\r\n"
      "\"Two\"=hex(3):\r\n");
  ASSERT_TRUE(hive);
  ASSERT_EQ(hive->keys().size(), 1u);  // both sections name one key
  const Key& key = hive->keys()[0];
  EXPECT_EQ(key.path, u"Software\\Zib");  // the first spelling stays
  ASSERT_EQ(key.values.size(), 5u);
  EXPECT_EQ(key.values[0], (Value{u"Wrapped", kRegBinary, {1, 2, 3, 4}}));
  EXPECT_EQ(key.values[1], (Value{u"Num", kRegDword, DwordData(1)}));  // the later one wins
  EXPECT_EQ(key.values[2], (Value{u"AsDword", kRegDword, DwordData(1)}));
  EXPECT_EQ(key.values[3], Text(u"", u"default"));
  EXPECT_EQ(key.values[4], (Value{u"Two", kRegBinary, {}}));
  EXPECT_EQ(ParseHive(""), Hive());
}

TEST(RegistryFile, NamesTheLineOfTheFirstError) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const struct {
    std::string text;
    std::size_t line;
    const char* problem;
  } cases[] = {
      {"REGEDIT4\n", 1, "first line"},
      {header + "\"a\"=dword:1\n", 3, "before the first [key]"},
      {header + "[HKEY_CURRENT_USER\\x]\n", 3, "unknown root key 'HKEY_CURRENT_USER'"},
      {header + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 3, "empty name"},
      {header + "[HKEY_LOCAL_MACHINE\\\xff]\n", 3, "not UTF-8"},
      {header + "[HKEY_LOCAL_MACHINE]\nnonsense\n", 4, "expected a [key] section"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\\n\"=dword:1\n", 4, "only \\\\ and \\\" escapes"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=\"x\"y\n", 4, "after the text"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=hex:01,\\\n  zz\n", 4, "two-digit bytes"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=hex:01,\\\n", 4, "ends inside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ParseError error;
    EXPECT_FALSE(ParseHive(c.text, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.problem), std::string::npos) << error.message;
  }
}

}  // namespace
}  // namespace kiv::registry
