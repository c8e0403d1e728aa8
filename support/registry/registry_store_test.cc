#include "support/registry/registry_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/registry/registry.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_test_util.h"

namespace kiv::registry {
namespace {

Value Dword(std::u16string name, std::uint32_t number) {
  return {std::move(name), kRegDword, DwordData(number)};
}

TEST(RegistryStore, CreatesFolderAndFileOnFirstWrite) {
  TempRegistry registry;
  const Store store;
  EXPECT_EQ(store.path(), registry.path());
  EXPECT_EQ(store.Read(), Hive());  // a missing file is an empty hive
  ASSERT_TRUE(store.SetValue(Root::kLocalMachine, u"Software\\Zib", Dword(u"a", 1)));
  struct stat info {};
  ASSERT_EQ(stat(registry.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(registry.Read(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Zib]\n\"a\"=dword:00000001\n\n");
  // Paths and names a line-based file cannot hold are refused.
  EXPECT_FALSE(store.SetValue(Root::kLocalMachine, u"Software\\\\Zib", Dword(u"a", 1)));
  EXPECT_FALSE(store.SetValue(Root::kLocalMachine, u"Software", Dword(u"a\nb", 1)));
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
  EXPECT_EQ(store.GetSubkeys(Root::kClassesRoot, u"CLSID\\{B2}"),
            (std::vector<std::u16string>{u"ProgID"}));
  EXPECT_EQ(store.GetValues(Root::kClassesRoot, u"CLSID"), std::vector<Value>());
  EXPECT_FALSE(store.GetSubkeys(Root::kClassesRoot, u"CLSI"));

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

  CRegistryImpl impl;
  std::uint32_t number = 7;
  EXPECT_FALSE(impl.GetDwordValue(u"Software\\Zib", u"LogLevel", number));
  EXPECT_EQ(number, 7u);
  EXPECT_FALSE(impl.SetDwordValue(u"Software\\Zib", u"LogLevel", 1));
  EXPECT_FALSE(store.DeleteTree(Root::kLocalMachine, u"Software"));
  EXPECT_EQ(registry.Read(), corrupt);
}

// Each writer re-reads the file under the lock, so no update is lost even
// when every process writes the same file at the same time.
TEST(RegistryStore, ConcurrentWritersInManyProcessesLoseNothing) {
  TempRegistry registry;
  constexpr int kWriters = 8;
  constexpr int kValuesEach = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(60);  // a writer stuck on the lock dies instead of hanging the test
      CRegistryImpl impl;
      bool ok = true;
      for (int i = 0; i < kValuesEach; ++i) {
        const std::string name = "w" + std::to_string(w) + "v" + std::to_string(i);
        ok &= impl.SetDwordValue(u"Software\\Zib", std::u16string(name.begin(), name.end()),
                                 static_cast<std::uint32_t>(w * 100 + i));
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::map<std::u16string, std::u16string> values;
  CRegistryImpl().GetValues(u"Software\\Zib", values);
  ASSERT_EQ(values.size(), static_cast<std::size_t>(kWriters * kValuesEach));
  EXPECT_EQ(values[u"w7v24"], u"724");
  // Every temporary file was renamed into place; only the store and its lock remain.
  std::vector<std::string> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(registry.path()).parent_path())) {
    files.push_back(entry.path().filename());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

}  // namespace
}  // namespace kiv::registry
