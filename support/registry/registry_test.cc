#include "support/registry/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/registry/registry_data.h"
#include "support/registry/registry_file.h"
#include "support/registry/registry_store.h"
#include "support/registry/registry_test_util.h"

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

Value Dword(std::u16string name, std::uint32_t number) {
  return {std::move(name), kRegDword, DwordData(number)};
}

TEST(RegistryStore, KeyTreeOperationsKeepTheRootsApart) {
  TempRegistry registry;
  const Store store;
  const std::u16string clsid = u"CLSID\\{A1}";
  ASSERT_TRUE(store.SetValue(Root::kClassesRoot, clsid, {u"", kRegSz, StringData(u"Kiv")}));
  ASSERT_TRUE(store.SetValue(Root::kClassesRoot, clsid + u"\\InprocServer32", Dword(u"x", 1)));
  ASSERT_TRUE(store.CreateKey(Root::kClassesRoot, u"CLSID\\{B2}\\ProgID"));
  ASSERT_TRUE(store.SetValue(Root::kLocalMachine, clsid, Dword(u"y", 2)));
  ASSERT_TRUE(store.CreateKey(Root::kClassesRoot, u"CLSIDX"));

  // A parent of a stored key exists without a section of its own.
  EXPECT_EQ(store.GetSubkeys(Root::kClassesRoot, u"clsid"),
            (std::vector<std::u16string>{u"{A1}", u"{B2}"}));
  EXPECT_EQ(store.GetSubkeys(Root::kClassesRoot, u""),
            (std::vector<std::u16string>{u"CLSID", u"CLSIDX"}));
  EXPECT_FALSE(store.GetValues(Root::kClassesRoot, u"CLSI"));

  EXPECT_FALSE(store.DeleteValue(Root::kClassesRoot, clsid, u"y"));  // that one is in HKLM
  EXPECT_TRUE(store.DeleteValue(Root::kClassesRoot, clsid, u""));
  EXPECT_FALSE(store.GetValue(Root::kClassesRoot, clsid, u""));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, clsid));  // a key outlives its values

  EXPECT_TRUE(store.DeleteTree(Root::kClassesRoot, u"CLSID\\{a1}"));
  EXPECT_FALSE(store.DeleteTree(Root::kClassesRoot, clsid));
  EXPECT_FALSE(store.DeleteTree(Root::kClassesRoot, u""));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, u"CLSIDX"));  // a name prefix is not a parent
  EXPECT_EQ(store.GetValue(Root::kLocalMachine, clsid, u"Y"), Dword(u"y", 2));
}

// A program started with its standard input closed gets descriptor 0 for
// the store file; errno may still hold an earlier call's EINTR. The read
// must neither retry on that nor leak the descriptor.
TEST(RegistryStore, ReadThroughDescriptorZeroLeaksNothing) {
  TempRegistry registry;
  registry.Write("");
  const int savedInput = ::dup(0);  // -1 when the test itself runs without one
  ::close(0);
  errno = EINTR;
  const auto hive = Store().Read();
  const bool zeroStillOpen = ::fcntl(0, F_GETFD) != -1;
  if (savedInput >= 0) {
    ::dup2(savedInput, 0);
    ::close(savedInput);
  }
  EXPECT_EQ(hive, Hive());
  EXPECT_FALSE(zeroStillOpen);
}

// Each writer re-reads the file under the lock, so no update is lost even
// when several processes write the same file at once; no temporary stays.
TEST(RegistryStore, ConcurrentWritersInManyProcessesLoseNothing) {
  TempRegistry registry;
  constexpr int kWriters = 4, kValuesEach = 10;
  for (int w = 0; w < kWriters; ++w) {
    if (fork() == 0) {
      alarm(60);  // a writer stuck on the lock dies instead of hanging the test
      bool ok = true;
      for (int i = 0; i < kValuesEach; ++i) {
        ok &= Store().SetValue(Root::kLocalMachine, u"Zib",
                               Dword({u'w', char16_t(u'0' + w), char16_t(u'0' + i)}, w * 100 + i));
      }
      _exit(ok ? 0 : 1);
    }
  }
  for (int status = 0, w = 0; w < kWriters; ++w) {
    EXPECT_GT(wait(&status), 0);
    EXPECT_EQ(status, 0);
  }
  const auto values = Store().GetValues(Root::kLocalMachine, u"Zib");
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), std::size_t{kWriters * kValuesEach});
  EXPECT_NE(std::find(values->begin(), values->end(), Dword(u"w39", 309)), values->end());
  std::set<std::string> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(registry.path()).parent_path())) {
    files.insert(entry.path().filename());
  }
  EXPECT_EQ(files, (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

using Values = std::map<std::u16string, std::u16string>;

const std::u16string kZib = u"Software\\ZIB Networks\\Zib";

std::vector<BYTE> ReadBinary(const std::u16string& name) {
  BYTE* copy = nullptr;
  std::uint32_t size = 0;
  if (!CRegistryImpl().GetBinaryValue(kZib, name, copy, size)) return {};
  const std::unique_ptr<BYTE[]> owned(copy);
  return {copy, copy + size};
}

// Reads take any type's data as raw bytes, cut to the 2048-byte buffers;
// GetValues adds texts, uncut, and leaves the entries it does not hold.
TEST(Registry, ReadsTakeRawDataCutToTheirBuffers) {
  TempRegistry registry;
  CRegistryImpl impl;
  std::u16string longText(1500, u'q');
  longText[1023] = u'E';
  ASSERT_TRUE(impl.SetStringValue(kZib, u"Long", longText));
  std::vector<BYTE> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7 + 1);
  BYTE* data = big.data();
  int size = static_cast<int>(big.size());
  ASSERT_TRUE(impl.SetBinaryValue(kZib, u"Big", data, size));
  const auto putRaw = [](const char16_t* name, std::uint32_t type, std::vector<BYTE> bytes) {
    ASSERT_TRUE(Store().SetValue(Root::kLocalMachine, kZib, {name, type, std::move(bytes)}));
  };
  putRaw(u"Odd", kRegBinary, {'h', 0, 'i'});
  putRaw(u"Short", kRegSz, {0x34, 0x12});
  putRaw(u"Wide", 11, {1, 2, 3, 4, 5, 6, 7, 8});

  std::u16string text;
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Long", text));
  EXPECT_EQ(text, longText.substr(0, 1024));
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Odd", text));
  EXPECT_EQ(text, u"hi");
  ASSERT_TRUE(impl.GetStringValue(kZib, u"Big", text));
  EXPECT_EQ(text.size(), 1024u);  // no zero unit within the buffer
  std::uint32_t number = 0xAAAAAAAA;
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Short", number));
  EXPECT_EQ(number, 0x1234u);
  ASSERT_TRUE(impl.GetDwordValue(kZib, u"Wide", number));
  EXPECT_EQ(number, 0x04030201u);
  EXPECT_EQ(ReadBinary(u"Big"), std::vector<BYTE>(big.begin(), big.begin() + 2048));
  EXPECT_EQ(ReadBinary(u"Odd"), (std::vector<BYTE>{'h', 0, 'i'}));

  Values values{{u"Long", u"old"}, {u"Other", u"stays"}};
  impl.GetValues(kZib, values);
  EXPECT_EQ(values, (Values{{u"Long", longText}, {u"Other", u"stays"}, {u"Short", u"\u1234"}}));
}

}  // namespace
}  // namespace kiv::registry
