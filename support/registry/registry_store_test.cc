#include "support/registry/registry_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "support/registry/registry_data.h"
#include "support/registry/registry_test_util.h"

namespace kiv::registry {
namespace {

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
  EXPECT_EQ(store.GetValues(Root::kClassesRoot, u"CLSID"), std::vector<Value>());
  EXPECT_FALSE(store.GetValues(Root::kClassesRoot, u"CLSI"));

  EXPECT_FALSE(store.DeleteValue(Root::kClassesRoot, clsid, u"y"));  // that one is in HKLM
  EXPECT_TRUE(store.DeleteValue(Root::kClassesRoot, clsid, u""));
  EXPECT_FALSE(store.GetValue(Root::kClassesRoot, clsid, u""));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, clsid));  // a key outlives its values

  EXPECT_TRUE(store.DeleteTree(Root::kClassesRoot, u"CLSID\\{a1}"));
  EXPECT_FALSE(store.KeyExists(Root::kClassesRoot, clsid + u"\\InprocServer32"));
  EXPECT_FALSE(store.DeleteTree(Root::kClassesRoot, clsid));
  EXPECT_FALSE(store.DeleteTree(Root::kClassesRoot, u""));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, u"CLSIDX"));  // a name prefix is not a parent
  EXPECT_EQ(store.GetValue(Root::kLocalMachine, clsid, u"Y"), Dword(u"y", 2));
}

TEST(RegistryStore, CorruptFileIsNeitherReadNorOverwritten) {
  TempRegistry registry;
  const std::string corrupt =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Zib]\n"
      "\"LogLevel\"=dword:00000004\n\"Broken\"=dword:zz\n";
  registry.Write(corrupt);
  const Store store;
  std::string problem;
  EXPECT_FALSE(store.Read(&problem));
  EXPECT_EQ(problem, registry.path() + ":5: dword: takes 1 to 8 hex digits");
  EXPECT_FALSE(store.GetValue(Root::kLocalMachine, u"Software\\Zib", u"LogLevel"));
  EXPECT_FALSE(store.SetValue(Root::kLocalMachine, u"Software\\Zib", Dword(u"LogLevel", 1)));
  EXPECT_FALSE(store.DeleteTree(Root::kLocalMachine, u"Software"));
  EXPECT_EQ(registry.Read(), corrupt);
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

}  // namespace
}  // namespace kiv::registry
