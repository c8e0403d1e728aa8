// The built kiv program: what each command prints, its messages and status.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "com/type_library.h"
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
};

// Runs the rows in order: later rows may rely on what earlier ones stored.
void ExpectRows(const std::vector<Row>& rows, const std::string& store = "/nonexistent") {
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const auto outcome = RunProgram(KIV_CLI_PATH, row.args, row.input, {{"KIV_REGISTRY", store}});
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
      {{"--directory", "h:65536", "encode", "1"}, 2, "", "--directory takes HOST[:PORT], got"},
      {{"--directory=h:65535", "--name", "n", "encode", "1"}, 0, kOne, ""},
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
          {{"registry", "set", zib, "LogLevel", "--dword", "10"}, 0, "", ""},
          {{"registry", "set", zib, "Minus", "--dword=-2147483648"}, 0, "", ""},
          {{"registry", "set", zib, "Hex", "--dword", "0xFFFFFFFF"}, 0, "", ""},
          {{"registry", "set", zib, "Text", "--string", text}, 0, "", ""},
          {{"registry", "set", zib, "", "--string=default"}, 0, "", ""},
          {{"registry", "get", "software\\zib networks\\zib", "loglevel"}, 0, "10\n", ""},
          {{"registry", "get", zib, "Minus"}, 0, "2147483648\n", ""},
          {{"registry", "get", zib, "Text"}, 0, text + "\n", ""},
          {{"registry", "list", zib},
           0,
           "@=default\nHex=-1\nLogLevel=10\nMinus=-2147483648\nText=" + text + "\n",
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
       {{"registry", "set", zib, "LogLevel", "--dword", "5"}, 5, "", store + ":13: expected"}},
      store);
  EXPECT_EQ(ReadFile(store), corrupt);
}

}  // namespace
