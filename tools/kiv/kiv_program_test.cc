// The built kiv program: what each command prints, its messages and status.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "com/type_library.h"
#include "kiv/version.h"
#include "testing/child_process.h"
#include "testing/temp_dir.h"

namespace {

using kiv::testing::RunProgram;

struct Row {
  std::vector<std::string> args;
  int status;
  std::string out;         // all of standard output
  std::string err;         // a part of standard error; empty: nothing may be there
  std::string input = {};  // standard input
  std::map<std::string, std::string> env = {};
};

// Runs the rows in order: later rows may rely on what earlier ones stored.
void ExpectRows(const std::vector<Row>& rows, const std::string& store = "/nonexistent") {
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto env = row.env;
    env.emplace("KIV_REGISTRY", store);
    const auto outcome = RunProgram(KIV_CLI_PATH, row.args, row.input, env);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, row.out);
    if (row.err.empty()) {
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_NE(outcome.err.find(row.err), std::string::npos) << outcome.err;
    }
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

const std::string kOne = "00 03 00 00 00 01\n";
const std::string kY2k = "00 07 40 e1 d5 c0 00 00 00 00";  // the DATE 36526.0

TEST(KivProgram, ValueCommandsAndUsage) {
  ExpectRows({
      {{"encode", "1"}, 0, kOne, ""},
      {{"encode", "-"}, 0, "20 0c 00 00 00 01 00 00 00 00 00 00 00 00\n", "", "[\n]\n"},
      {{"decode", "000300000001"}, 0, "1\n", ""},
      {{"decode", "-"}, 0, "false\n", "", "00 0b\n00 00\n"},
      {{"encode", R"({"ui16": 1})"}, 2, "", "kiv: value: unknown type name: ui16\n"},
      {{"decode", "0g"}, 2, "", "kiv: decode: not hex bytes"},
      {{"decode", "00 08 00 00 00 02 00 61"}, 2, "", "kiv: decode: truncated"},
      {{"decode", "00 06 00 00 00 00 00 00 00 00"}, 2, "", "does not carry tag 0006"},
      {{"decode", "00 00 00"}, 2, "", "kiv: decode: 1 trailing byte after the value"},
      {{"dump", "--title", "T", "\"\u00E9\""},
       0,
       "Dumping T:   <var vt=\"VT_BSTR\">\u00E9</var>\r\n",
       ""},
      {{"typelib"}, 0, kiv::com::TypeLibraryIdl(), ""},
      {{}, 2, "", "kiv: no command given\nTry 'kiv --help'.\n"},
      {{"frobnicate"}, 2, "", "kiv: unknown command 'frobnicate'"},
      {{"--bogus", "encode", "1"}, 2, "", "kiv: unknown option '--bogus'"},
      {{"--directory", "h:65536", "encode", "1"}, 2, "", "got 'h:65536': the port is a number"},
      {{"--directory=h:65535", "--name", "n", "encode", "1"}, 0, kOne, ""},
      {{"--version"}, 0, "kiv " KIV_VERSION_STRING "\n", ""},
      // Dates print as ISO text, or as numbers when asked; both read back.
      {{"encode", R"({"date": "2000-01-01T00:00:00Z"})"}, 0, kY2k + "\n", ""},
      {{"encode", R"({"date": 36526})"}, 0, kY2k + "\n", ""},
      {{"decode", kY2k}, 0, "{\"date\":\"2000-01-01T00:00:00Z\"}\n", ""},
      {{"decode", "--date-numbers", kY2k}, 0, "{\"date\":36526.0}\n", ""},
  });
}

// Each mistake is one usage line, status 2, before anything is sent.
TEST(KivProgram, UsageErrorsNameTheProblem) {
  const std::string zib = "Software\\ZIB Networks\\Zib";
  const std::map<std::string, std::string> kAt1 = {{"KIV_DIRECTORY", "127.0.0.1:1"}};
  ExpectRows({
      {{"encode", "1", "2"}, 2, "", "kiv: one VALUE expected, got 2 arguments; quote it"},
      {{"call", "--to", "a", "Echo", "[1,", "2]"}, 2, "", "kiv: one VALUE expected, got 2"},
      {{"ping", "127.0.0.1:29831"}, 2, "", "kiv: ping 127.0.0.1:29831 needs --id N"},
      {{"registry", "set", zib, "loglevel", "--dword", "9"}, 2, "", "loglevel takes 0 to 4, got 9"},
      {{"registry", "set", zib, "DirectoryTimeout", "--dword=0"}, 2, "", "takes 1 to 3600, got 0"},
      {{"registry", "set", zib, "LogLevel", "--string", "4"}, 2, "", "LogLevel is a number: give"},
      {{"registry", "set", zib, "AllowedPeers", "--dword", "1"}, 2, "", "AllowedPeers is a text"},
      {{"registry", "get", zib, "LogLevel", "x"}, 2, "", "kiv: registry get takes KEY NAME"},
      {{"list", "alpha"}, 2, "", "kiv: unexpected argument 'alpha'"},
      {{"wait"}, 2, "", "kiv: wait takes a satellite NAME or --service S"},
      {{"wait", "a", "--service", "Echo"}, 2, "", "kiv: wait takes a satellite NAME or --service"},
      {{"typelib", "x"}, 2, "", "kiv: typelib takes no arguments"},
      // The directory's address: the option wins over the environment;
      // IPv4-mapped IPv6 is taken, other IPv6 refused with what to give.
      // clang-format off
      {{"list"}, 3, "", "at 127.0.0.1:1: 0x8", "", {{"KIV_DIRECTORY", "[::ffff:127.0.0.1]:1"}}},
      {{"--directory", "127.0.0.1:2", "list"}, 3, "", "127.0.0.1:2: 0x80060024 KIV_E_", "", kAt1},
      {{"list"}, 2, "", "kiv: KIV_DIRECTORY takes HOST", "", {{"KIV_DIRECTORY", "a:b:c"}}},
      // clang-format on
      {{"--directory", "[::1]:29831", "list"}, 2, "", "over IPv4 only; give an IPv4 address"},
  });
}

TEST(KivProgram, RegistryReadsAndWritesTheStore) {
  const kiv::testing::TempDir folder;
  const std::string store = folder.File("registry.reg");
  std::ofstream(store) << "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\Other]\n\"Blob\"=hex:0a,ff\n";
  const std::string zib = "Software\\ZIB Networks\\Zib";
  const std::string text = "Gr\u00FC\u00DFe \\ \"";
  ExpectRows(
      {
          {{"registry"}, 2, "", "kiv: registry needs get, set or list"},
          {{"registry", "delete", zib}, 2, "", "kiv: unknown registry action 'delete'"},
          {{"registry", "get", zib}, 2, "", "kiv: registry get takes KEY NAME"},
          {{"registry", "set", zib, "--dword", "1"}, 2, "", "kiv: registry set takes KEY NAME"},
          {{"registry", "set", zib, "a", "--dword", "1", "--string", "x"}, 2, "", "one of --dword"},
          {{"registry", "set", zib, "a", "--dword", "4294967296"}, 2, "", "got '4294967296'"},
          {{"registry", "set", zib, "a", "--dword", "-2147483649"}, 2, "", "got '-2147483649'"},
          {{"registry", "set", zib, "a", "--dword", "0x-1"}, 2, "", "got '0x-1'"},
          {{"registry", "set", zib, "a", "--string", "\xFF"}, 2, "", "kiv: --string is not UTF-8"},
          // Wrong usage stored nothing.
          {{"registry", "get", zib, "a"}, 1, "", "kiv: registry: no value 'a' in '" + zib + "'"},
          {{"registry", "list", zib}, 1, "", "kiv: registry: no key '" + zib + "'"},
          {{"registry", "set", zib, "LogLevel", "--dword", "4"}, 0, "", ""},
          {{"registry", "set", zib, "Minus", "--dword=-2147483648"}, 0, "", ""},
          {{"registry", "set", zib, "Hex", "--dword", "0xFFFFFFFF"}, 0, "", ""},
          {{"registry", "set", zib, "Text", "--string", text}, 0, "", ""},
          {{"registry", "set", zib, "", "--string=default"}, 0, "", ""},
          {{"registry", "get", "software\\zib networks\\zib", "loglevel"}, 0, "4\n", ""},
          {{"registry", "get", zib, "LogLevel", "--json"},
           0,
           R"({"key":"Software\\ZIB Networks\\Zib","name":"LogLevel","type":"dword","value":4})"
           "\n",
           ""},
          {{"registry", "get", zib, "Minus"}, 0, "2147483648\n", ""},
          {{"registry", "get", zib, "Text"}, 0, text + "\n", ""},
          {{"registry", "list", zib},
           0,
           "@=default\nHex=-1\nLogLevel=4\nMinus=-2147483648\nText=" + text + "\n",
           ""},
          {{"registry", "list", zib + "\\Config"}, 1, "", "kiv: registry: no key"},
          {{"registry", "list", "Software"}, 0, "", ""},  // a parent key exists
          // Data of other types prints in hex and stays out of the list.
          {{"registry", "get", "Other", "Blob"}, 0, "0a ff\n", ""},
          {{"registry", "list", "Other"}, 0, "", ""},
      },
      store);

  // A store that cannot be read is named, and left as it is.
  std::ofstream(store, std::ios::app) << "garbage\n";
  const std::string corrupt = ReadFile(store);
  ExpectRows(
      {{{"registry", "get", zib, "LogLevel"}, 5, "", store + ":13: expected a [key] section"},
       {{"registry", "list", zib}, 5, "", store + ":13: expected a [key] section"},
       {{"registry", "set", zib, "LogLevel", "--dword", "3"}, 5, "", store + ":13: expected"}},
      store);
  EXPECT_EQ(ReadFile(store), corrupt);
}

}  // namespace
