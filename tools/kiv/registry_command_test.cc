// Runs the built kiv program's registry command against a store file of the
// test's own (KIV_REGISTRY) and checks what it prints, stores and exits with.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/program_runner.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

using Outcome = kiv::testing::ProgramOutcome;

class KivRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kiv_registry_program_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    store_ = folder_ + "/kiv/registry.reg";
    setenv("KIV_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KIV_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  // Runs kiv with the arguments, standard input empty.
  Outcome Kiv(const std::vector<std::string>& args) {
    return kiv::testing::RunProgram(KIV_CLI_PATH, args);
  }

  std::string folder_;
  std::string store_;
};

const std::string kZib = "Software\\ZIB Networks\\Zib";

TEST_F(KivRegistry, SetsGetsAndListsValues) {
  EXPECT_EQ(Kiv({"registry", "set", kZib, "LogLevel", "--dword", "10"}).status, 0);
  EXPECT_EQ(Kiv({"registry", "set", kZib, "Minus", "--dword=-1"}).status, 0);
  EXPECT_EQ(Kiv({"registry", "set", kZib, "Hex", "--dword", "0x1F"}).status, 0);
  EXPECT_EQ(Kiv({"registry", "set", kZib, "Text", "--string",
                 "Gr\xc3\xbc\xc3\x9f"
                 "e \\ \""})
                .status,
            0);
  EXPECT_EQ(Kiv({"registry", "set", kZib, "", "--string", "default"}).status, 0);
  EXPECT_NE(ReadFile(store_).find("\"LogLevel\"=dword:0000000a\n"), std::string::npos);

  EXPECT_EQ(Kiv({"registry", "get", "software\\zib networks\\zib", "loglevel"}).out, "10\n");
  EXPECT_EQ(Kiv({"registry", "get", kZib, "Minus"}).out, "4294967295\n");
  EXPECT_EQ(Kiv({"registry", "get", kZib, "Text"}).out,
            "Gr\xc3\xbc\xc3\x9f"
            "e \\ \"\n");
  const Outcome listed = Kiv({"registry", "list", kZib});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out,
            "@=default\nHex=31\nLogLevel=10\nMinus=-1\nText=Gr\xc3\xbc\xc3\x9f"
            "e \\ \"\n");

  // Data of other types prints in hex and stays out of the list.
  std::ofstream(store_, std::ios::app) << "[HKEY_LOCAL_MACHINE\\Other]\n\"Blob\"=hex:0a,ff\n";
  const Outcome blob = Kiv({"registry", "get", "Other", "Blob"});
  EXPECT_EQ(blob.status, 0);
  EXPECT_EQ(blob.out, "0a ff\n");
  EXPECT_EQ(Kiv({"registry", "list", "Other"}).out, "");
  EXPECT_EQ(Kiv({"registry", "list", "Other"}).status, 0);
}

TEST_F(KivRegistry, MissingValuesKeysAndCorruptStoresExit1) {
  EXPECT_EQ(Kiv({"registry", "get", kZib, "LogLevel"}).status, 1);  // no file yet
  EXPECT_EQ(Kiv({"registry", "list", kZib}).status, 1);
  EXPECT_EQ(Kiv({"registry", "set", kZib, "LogLevel", "--dword", "4"}).status, 0);
  EXPECT_EQ(Kiv({"registry", "get", kZib, "Other"}).status, 1);
  EXPECT_EQ(Kiv({"registry", "list", kZib + "\\Config"}).status, 1);
  EXPECT_EQ(Kiv({"registry", "list", "Software"}).status, 0);  // a parent key exists

  const std::string corrupt = ReadFile(store_) + "garbage\n";
  std::ofstream(store_, std::ios::binary | std::ios::trunc) << corrupt;
  const Outcome get = Kiv({"registry", "get", kZib, "LogLevel"});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.err.find(store_ + ":6: expected a [key] section"), std::string::npos) << get.err;
  const Outcome set = Kiv({"registry", "set", kZib, "LogLevel", "--dword", "5"});
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find("cannot write"), std::string::npos) << set.err;
  EXPECT_EQ(ReadFile(store_), corrupt);
}

TEST_F(KivRegistry, UsageErrorsExit2) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"registry"},
           {"registry", "delete", kZib},
           {"registry", "get", kZib},
           {"registry", "list"},
           {"registry", "set", kZib, "--dword", "1"},
           {"registry", "set", kZib, "a", "--dword"},
           {"registry", "set", kZib, "a", "--dword", "1", "--string", "x"},
           {"registry", "set", kZib, "a", "--dword", "4294967296"},
           {"registry", "set", kZib, "a", "--dword", "12abc"},
           {"registry", "set", kZib, "a", "--string", "\xff"},
       }) {
    const Outcome outcome = Kiv(args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(outcome.err.starts_with("kiv: ")) << outcome.err;
  }
  EXPECT_FALSE(std::filesystem::exists(store_));
  const Outcome help = Kiv({"registry", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(
      help.out.starts_with("usage: kiv registry get|set|list KEY ...\n\n"
                           "  kiv registry get KEY NAME\n"))
      << help.out;
}

}  // namespace
