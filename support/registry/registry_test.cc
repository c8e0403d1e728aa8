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
#include "testing/log_capture.h"

namespace kiv::registry {
namespace {

Value Text(std::u16string name, std::u16string_view text) {
  return {std::move(name), kRegSz, StringData(text)};
}

std::optional<Hive> ParseHive(std::string_view text, ParseError* error = nullptr) {
  auto file = ParseStoreFile(text, error);
  if (!file) return std::nullopt;
  return std::move(file->hive);
}

// Built here, not with the encoder under test.
std::string Utf16Le(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) bytes.append({char(unit & 0xFF), char(unit >> 8)});
  return bytes;
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

  StoreFile file;
  file.hive = hive;
  const std::string text = SerializeStoreFile(file).value();
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
      "  \"Wrapped\"=hex:01, 02,\\ ; continued\r\n"
      "; between the lines\r\n"
      "    03,04\r\n"
      "\"Num\" = dword:FF ; comment\r\n"
      "\"Gone\"=\"x\";\r\n"
      "\"AsDword\"=hex(4):01,00,00,00\r\n"
      "\"\"=\"default\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZIB]\r\n"
      "\"NUM\"=dword:1\r\n"
      "\"Two\"=hex(3):\r\n"
      "\"gone\"=-\r\n"
      "[HKEY_LOCAL_MACHINE\\Old\\Sub]\r\n"
      "[-HKEY_LOCAL_MACHINE\\old]\r\n");
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
      {"REGEDIT 4\n", 1, "first line"},
      {Utf16Le(u"W\n\r\n") + "x", 3, "half a character"},
      {Utf16Le(u"W\r\n\n\xDC00"), 3, "surrogate half"},
      {std::string("W\0i\0", 4), 1, "without its byte-order mark"},
      {header + "\"a\"=dword:1\n", 3, "before the first [key]"},
      {header + "[HKEY_BOGUS\\x]\n", 3, "unknown root key 'HKEY_BOGUS'"},
      {header + "[-HKEY_CLASSES_ROOT]\n", 3, "root key cannot be deleted"},
      {header + "[-HKEY_CLASSES_ROOT\\a]\n\"a\"=\"x\"\n", 4, "after a [-key] deletion"},
      {header + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 3, "empty name"},
      {header + "[HKEY_LOCAL_MACHINE\\\xff]\n", 3, "not UTF-8"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\\n\"=dword:1\n", 4, "only \\\\ and \\\" escapes"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=\"x\"y\n", 4, "after the text"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=hex:01,\\\n  zz\n", 4, "two-digit bytes"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=hex:01,\\\n", 4, "ends inside"},
      {header + "[HKEY_LOCAL_MACHINE]\n\"a\"=hex:01,\\\n\n02\n", 4, "breaks off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ParseError error;
    EXPECT_FALSE(ParseHive(c.text, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.problem), std::string::npos) << error.message;
  }
}

// Each form is read, its key found in any case, and written back byte for byte.
TEST(RegistryFile, ReadsAndWritesBackEveryForm) {
  const std::string zib = "[HKEY_LOCAL_MACHINE\\Software\\Zib]";
  const struct {
    std::string bytes;
    FileForm form;
    Value value;
  } cases[] = {
      {Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Zib]"
               u"\r\n\"Name\"=\"Gr\u00fc\u00dfe \u65e5\U0001F600\"\r\n\r\n"),
       {Encoding::kUtf16Le, Header::kVersion5, LineEnd::kCrLf},
       Text(u"Name", u"Gr\u00fc\u00dfe \u65e5\U0001F600")},
      {"REGEDIT4\n\n" + zib + "\n\"Name\"=\"caf\xE9 \x80\"\n\n",
       {Encoding::kCp1252, Header::kRegedit4, LineEnd::kLf},
       Text(u"Name", u"caf\u00e9 \u20ac")},
      {"REGEDIT4\r\n\r\n" + zib + "\r\n\"Path\"=hex(2):25,e9,00\r\n\r\n",
       {Encoding::kCp1252, Header::kRegedit4, LineEnd::kCrLf},
       {u"Path", 2, StringData(u"%\u00e9")}},
      {"\xEF\xBB\xBFREGEDIT4\r\r" + zib + "\r\"N\"=dword:00000001\r\r",
       {Encoding::kUtf8Bom, Header::kRegedit4, LineEnd::kCr},
       {u"N", kRegDword, DwordData(1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ParseError error;
    const auto file = ParseStoreFile(c.bytes, &error);
    ASSERT_TRUE(file) << error.line << ": " << error.message;
    EXPECT_EQ(file->form, c.form);
    const Key* stored = file->hive.FindKey(Root::kLocalMachine, u"SOFTWARE\\zib");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->values, std::vector<Value>{c.value});
    EXPECT_EQ(SerializeStoreFile(*file), c.bytes);
  }
}

Value Dword(std::u16string name, std::uint32_t number) {
  return {std::move(name), kRegDword, DwordData(number)};
}

// A write changes its value and keeps the rest: encoding, header, line
// ends, other values, other hives' sections. What the encoding cannot hold
// is refused (`after` empty) and the file left as it was.
TEST(RegistryStore, WritesKeepTheFileAsItWas) {
  const std::u16string head = u"Windows Registry Editor Version 5.00\r\n\r\n";
  const std::u16string users = u"[HKEY_USERS\\X]\r\n\"a\"=dword:00000001\r\n;c\r\n\r\n";
  const std::u16string zib = u"[HKEY_LOCAL_MACHINE\\Zib]\r\n\"Old\"=\"\u65e5\"\r\n";
  const std::string regedit4 = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Zib]\n";
  const struct {
    std::string before;
    Value value;
    std::string after;
  } cases[] = {
      {Utf16Le(head + users + zib), Dword(u"New", 2),
       Utf16Le(head + zib + u"\"New\"=dword:00000002\r\n\r\n" + users)},
      {regedit4, Text(u"New", u"\u65e5"), regedit4 + "\"New\"=hex(1):e5,65,00,00\n\n"},
      {regedit4, Text(u"\u65e5", u""), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after);
    TempRegistry registry;
    registry.Write(c.before);
    std::string problem;
    EXPECT_EQ(Store().SetValue(Root::kLocalMachine, u"Zib", c.value, &problem), !c.after.empty());
    EXPECT_EQ(registry.Read(), c.after.empty() ? c.before : c.after);
    EXPECT_EQ(problem.find("code page 1252 lacks") != std::string::npos, c.after.empty());
  }
}

// Temporary files of killed writers go at the next write when their
// process is gone or they are old; nothing else in the folder is touched.
TEST(RegistryStore, AWriteRemovesWhatKilledWritersLeft) {
  TempRegistry registry;
  registry.Write("");
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string live = std::to_string(getpid());
  const struct {
    std::string suffix;
    bool old;
    bool stays;
  } files[] = {
      {".tmp-" + std::to_string(dead) + "-a1B2c3", false, false},
      {".tmp-" + live + "-a1B2c3", true, false},
      {".tmp-" + live + "-d4E5f6", false, true},  // its writer may still be at it
      {".tmp-" + live + "-d4E5f", true, true},    // not a writer's name
      {".backup", true, true},
  };
  const auto hourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& file : files) {
    registry.Write("x", file.suffix);
    if (file.old) std::filesystem::last_write_time(registry.path() + file.suffix, hourAgo);
  }
  ASSERT_TRUE(Store().SetValue(Root::kLocalMachine, u"Zib", Dword(u"N", 1)));
  for (const auto& file : files) {
    EXPECT_EQ(std::filesystem::exists(registry.path() + file.suffix), file.stays) << file.suffix;
  }
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

// However often a program reads, each problem of the store is logged once.
TEST(Registry, ReadsLogWhatIsWrongWithTheStoreOnce) {
  TempRegistry registry;
  kiv::testing::LogCapture log;
  const std::string zib = "[HKEY_LOCAL_MACHINE\\Zib]\n\"N\"=";
  std::uint32_t number = 0;
  registry.Write(std::string(kFileHeader) + "\n\n[HKEY_USERS\\X]\n" + zib + "dword:7\n");
  for (int read = 0; read < 2; ++read)
    EXPECT_TRUE(CRegistryImpl().GetDwordValue(u"zib", u"n", number));
  EXPECT_EQ(number, 7u);
  registry.Write(std::string(kFileHeader) + "\n\n" + zib + "\"caf\xE9\"\n");
  for (int read = 0; read < 2; ++read)
    EXPECT_FALSE(CRegistryImpl().GetDwordValue(u"Zib", u"N", number));
  std::string problem;
  EXPECT_FALSE(CheckRegistryStore(&problem));
  EXPECT_EQ(problem, registry.path() + ":4: the text is not UTF-8");
  const std::string store = "KIV: configuration store " + registry.path();
  EXPECT_EQ(log.Lines(),
            (std::vector<std::pair<int, std::string>>{
                {LOG_WARN, store + ":3: skipped [HKEY_USERS\\X]: the store reads only "
                                   "HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT (the section is "
                                   "kept when the store is written)"},
                {LOG_ERROR, store + ":4: the text is not UTF-8; its settings are ignored and "
                                    "defaults apply until it is fixed"}}));
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
