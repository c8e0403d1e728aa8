// The table file: what a restarted directory takes back, and what it refuses.
#include "directory/table_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/temp_dir.h"

namespace kiv::directory {
namespace {

Registration Reg(std::u16string name, std::vector<std::u16string> services = {}) {
  Registration registration{std::move(name), u"pc", "10.0.0.1", 4000, 0, {}};
  for (auto& service : services) registration.services.push_back({service, u"about"});
  return registration;
}

TEST(TableFileTest, ARestoredTableKeepsIdsServicesAndListenersButYieldsTakenNames) {
  DirectoryTable before;
  before.Register(Reg(u"MainRegister"));
  before.Register(Reg(u"alpha", {u"Echo"}));
  const std::u16string oddName = {u'x', 0xD800};  // a lone surrogate has no UTF-8 form
  before.Register(Reg(oddName, {u"echo"}));
  before.Register(Reg(u"beta"));
  before.AddListener(u"beta", {u"ECHO"});
  testing::TempDir dir;
  const std::string path = dir.File("table.json");
  WriteTableFile(path, TableText(before.Image()));
  std::optional<TableImage> image = LoadTableFile(path);
  ASSERT_TRUE(image);
  image->satellites.erase(image->satellites.begin());  // the directory leaves itself out

  DirectoryTable after;
  EXPECT_EQ(after.Restore(*image).size(), 3u);
  after.Restore(*image);  // names and ids taken: nothing twice
  EXPECT_EQ(after.Size(), 3u);
  EXPECT_EQ(after.Find(u"alpha")->id, 2);
  EXPECT_EQ(after.Find(oddName)->id, 3);
  EXPECT_EQ(after.Offers(u"ALL", u"Echo").size(), 2u);
  EXPECT_EQ(after.ListenersOf(u"echo"), std::vector<std::u16string>{u"beta"});
  // The directory gets 1 again; newcomers the free ids.
  EXPECT_EQ(after.Register(Reg(u"MainRegister")).id, 1);
  EXPECT_EQ(after.Register(Reg(u"gamma")).id, 5);
}

TEST(TableFileTest, AFileThatCannotBeTrustedIsSetAsideNeverUsed) {
  for (const char* text :
       {"", "{", R"({"format":"kivd table","version":2,"satellites":[],"listeners":[]})",
        R"({"format":"kivd table","version":1,"satellites":[{"id":0,"name":"a","computer":"",
            "host":"h","port":1,"services":[]}],"listeners":[]})",
        R"({"format":"kivd table","version":1,"satellites":[{"id":4,"name":"a\u0000b",
            "computer":"","host":"h","port":1,"services":[]}],"listeners":[]})"}) {
    SCOPED_TRACE(text);
    testing::TempDir dir;
    const std::string path = dir.File("table.json");
    EXPECT_FALSE(LoadTableFile(path));  // none yet: nothing to set aside
    std::ofstream(path) << text;
    EXPECT_FALSE(LoadTableFile(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    const auto entry = std::filesystem::directory_iterator(dir.path());
    ASSERT_NE(entry, std::filesystem::directory_iterator());
    EXPECT_TRUE(entry->path().filename().string().starts_with("table.json.bad-"));
  }
}

}  // namespace
}  // namespace kiv::directory
