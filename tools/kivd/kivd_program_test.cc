// Black-box: the real kivd and `kiv serve` programs in this test's private
// network, driven and observed with the kiv command line only.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "testing/child_process.h"
#include "testing/process_stats.h"
#include "testing/program_runner.h"

namespace {

using kiv::testing::ChildProcess;
using kiv::testing::ProgramOutcome;
using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kStartTime = seconds(15);
constexpr int kTimedOut = 0x00020026;
constexpr int kNotFound = 0x00020007;

class KivdProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kivd_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // Logs and configuration stay in the test's own folder.
    environment_ = {{"KIV_DATA_DIR", dir_}, {"KIV_REGISTRY", dir_ + "/registry.reg"}};
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<ChildProcess> StartKivd(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--server-id", "test-directory", "--users", "ann"});
    auto kivd = std::make_unique<ChildProcess>(KIVD_PATH, args, environment_);
    EXPECT_EQ(kivd->WaitForLine("ready ", kStartTime), "ready test-directory") << kivd->Errors();
    return kivd;
  }

  // A `kiv serve`; *port receives the port it listens on.
  std::unique_ptr<ChildProcess> Serve(const std::string& name, std::vector<std::string> args = {},
                                      int* port = nullptr) {
    args.insert(args.begin(), {"serve", "--name", name});
    auto serve = std::make_unique<ChildProcess>(KIV_CLI_PATH, args, environment_);
    const auto ready = serve->WaitForLine("ready " + name + " ", kStartTime);
    EXPECT_TRUE(ready.has_value()) << serve->Errors();
    if (port != nullptr && ready) *port = std::stoi(ready->substr(ready->rfind(' ') + 1));
    return serve;
  }

  // SIGTERM and a clean exit (under the sanitizers also: nothing reported).
  static void ExpectCleanStop(ChildProcess& program) {
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(seconds(15)), 0) << program.Errors();
  }

  ProgramOutcome Kiv(const std::vector<std::string>& args) {
    return kiv::testing::RunProgram(KIV_CLI_PATH, args, "", environment_);
  }

  // The "call" output as JSON (null when it printed none).
  json Call(const std::vector<std::string>& args, int* status = nullptr) {
    std::vector<std::string> all{"call"};
    all.insert(all.end(), args.begin(), args.end());
    const ProgramOutcome outcome = Kiv(all);
    if (status != nullptr) *status = outcome.status;
    return outcome.out.empty() ? json() : json::parse(outcome.out);
  }

  // Satellite name -> its list entry.
  std::map<std::string, json> List() {
    std::map<std::string, json> byName;
    const ProgramOutcome outcome = Kiv({"list", "--json"});
    if (outcome.status != 0) return byName;
    for (const json& entry : json::parse(outcome.out)) byName[entry["name"]] = entry;
    return byName;
  }

  // Waits until the listing has (or lacks) the satellite.
  bool AwaitListed(const std::string& name, bool listed, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      if (List().contains(name) == listed) return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  std::string dir_;
  std::map<std::string, std::string> environment_;
};

TEST_F(KivdProgramTest, RegistersListsCallsAndPings) {
  int status = 0;
  EXPECT_TRUE(Call({"--to", "alpha", "Echo", "1"}, &status).is_null());
  EXPECT_EQ(status, 3);  // no directory yet
  // Usage and notation are checked before anything is sent.
  Call({"Echo", "1"}, &status);
  EXPECT_EQ(status, 2);
  Call({"--to", "alpha", "Echo", R"({"i2": 70000})"}, &status);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(kiv::testing::RunProgram(KIVD_PATH, {"--ping-interval", "60"}).status, 2);

  auto kivd = StartKivd();
  int alphaPort = 0;
  auto alpha = Serve("alpha", {}, &alphaPort);
  auto beta = Serve("beta", {"--service", "Echo"});

  const auto listed = List();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed.at("MainRegister")["id"], 1);
  EXPECT_EQ(listed.at("MainRegister")["port"], 29831);
  EXPECT_EQ(listed.at("alpha")["id"], 2);
  EXPECT_EQ(listed.at("alpha")["port"], alphaPort);
  EXPECT_EQ(listed.at("beta")["services"][0]["name"], "Echo");

  EXPECT_EQ(Call({"--to", "alpha", "Echo", R"(["hi", 2.5])"}, &status),
            json::parse(R"({"statuses": [0], "values": [["hi", 2.5]]})"));
  EXPECT_EQ(status, 0);
  // ALL: alpha registered first, then beta.
  EXPECT_EQ(Call({"--all", "Echo", R"({"i2": 7})"}),
            json::parse(R"({"statuses": [0, 0], "values": [{"i2": 7}, {"i2": 7}]})"));
  EXPECT_EQ(Call({"--all", "Sleep", "0"})["statuses"], json::array({0}));
  EXPECT_EQ(Call({"--to", "beta", "Sleep", "0"}, &status)["statuses"], json::array({kNotFound}));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Call({"--to", "alpha", "Fail", "5"}, &status)["statuses"], json::array({5}));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Call({"--to", "alpha", "Throw", "7"})["statuses"], json::array({7}));
  EXPECT_EQ(Call({"--to", "alpha", "Throw", R"("x")"})["statuses"], json::array({1}));
  const json async = Call({"--to", "alpha", "--async", "Echo", "1"}, &status);
  EXPECT_EQ(async, json::parse(R"({"statuses": [0]})"));
  EXPECT_EQ(status, 0);

  // The directory's requests answer callers directly, too.
  EXPECT_EQ(Call({"--to", "MainRegister", "GetSatelliteHost", R"("alpha")"})["values"],
            json::array({json::array({json::array({"127.0.0.1", alphaPort})})}));
  EXPECT_EQ(Call({"--to", "MainRegister", "Register", "1"})["statuses"], json::array({1}));
  const char* impostor = R"(["MainRegister", "pc", {"ui2": 1}, 1, 0, 0, {"empty": null}])";
  EXPECT_EQ(Call({"--to", "MainRegister", "Register", impostor})["statuses"], json::array({1}));
  EXPECT_EQ(List().at("MainRegister")["port"], 29831);

  EXPECT_EQ(Kiv({"ping", "alpha"}).out, "alive\n");
  EXPECT_EQ(Kiv({"ping", "nobody"}).out, "dead\n");
  const std::string address = "127.0.0.1:" + std::to_string(alphaPort);
  EXPECT_EQ(Kiv({"ping", address, "--id", "2"}).status, 0);
  const ProgramOutcome wrongId = Kiv({"ping", address, "--id", "99"});
  EXPECT_EQ(wrongId.out, "dead\n");
  EXPECT_EQ(wrongId.status, 1);

  // The announcement reaches the discovery clients.
  const ProgramOutcome discovered = Kiv({"discover", "--for", "2"});
  EXPECT_NE(discovered.out.find(R"("server":"test-directory","users":["ann"])"), std::string::npos)
      << discovered.out;

  // A clean stop removes the satellite; a second directory cannot start.
  ExpectCleanStop(*alpha);
  EXPECT_FALSE(List().contains("alpha"));
  EXPECT_EQ(kiv::testing::RunProgram(KIVD_PATH, {}, "", environment_).status, 1);
  ExpectCleanStop(*beta);
  ExpectCleanStop(*kivd);
}

TEST_F(KivdProgramTest, SatellitesRegisterAgainWhenTheDirectoryRestarts) {
  const std::vector<std::string> fast{"--ping-interval", "0.3", "--notify-interval", "0.5"};
  auto kivd = StartKivd(fast);
  auto alpha = Serve("alpha");
  auto watcher = Serve("watcher", {"--service", "Echo", "--follow", "Fail"});
  ExpectCleanStop(*kivd);
  int status = 0;
  Call({"--to", "alpha", "Echo", "1"}, &status);
  EXPECT_EQ(status, 3);

  kivd = StartKivd(fast);
  ASSERT_TRUE(AwaitListed("alpha", true, seconds(10)));
  ASSERT_TRUE(AwaitListed("watcher", true, seconds(10)));
  EXPECT_EQ(List().at("alpha")["id"], 2);  // the id it had, kept
  EXPECT_EQ(Call({"--to", "alpha", "Echo", "1"})["statuses"], json::array({0}));
  // The watcher followed Fail again: a newcomer offering it is announced.
  auto late = Serve("late", {"--service", "Fail"});
  EXPECT_TRUE(
      watcher->WaitForLine(R"({"service":"Fail","satellite":"late","state":1})", seconds(10)));
}

TEST_F(KivdProgramTest, AKilledSatelliteIsDroppedAfterThreeMissedPingsAndListenersAreTold) {
  auto kivd = StartKivd({"--ping-interval", "0.2"});
  auto watcher = Serve("watcher", {"--service", "Fail", "--follow", "Echo"});
  auto alpha = Serve("alpha");
  ASSERT_TRUE(
      watcher->WaitForLine(R"({"service":"Echo","satellite":"alpha","state":1})", seconds(10)));
  alpha->Kill();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      watcher->WaitForLine(R"({"service":"Echo","satellite":"alpha","state":0})", seconds(10)));
  // Three intervals at least: one missed ping is not enough.
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(400));
  EXPECT_FALSE(List().contains("alpha"));
  EXPECT_EQ(Kiv({"ping", "alpha"}).out, "dead\n");
  EXPECT_TRUE(List().contains("watcher"));  // it answers its pings
  ExpectCleanStop(*watcher);
  ExpectCleanStop(*kivd);
}

TEST_F(KivdProgramTest, AMessageSizeLimitRefusesLargerValuesOnTheReadingSide) {
  const std::string key = "Software\\ZIB Networks\\Zib";
  ASSERT_EQ(Kiv({"registry", "set", key, "MaxMessageSize", "--dword", "2048"}).status, 0);
  ASSERT_EQ(Kiv({"registry", "set", key, "LogLevel", "--dword", "2"}).status, 0);
  auto kivd = StartKivd();
  auto alpha = Serve("alpha");
  const std::string fits = "\"" + std::string(500, 'a') + "\"";  // 1000 bytes as UTF-16
  const std::string larger = "\"" + std::string(1500, 'a') + "\"";
  EXPECT_EQ(Call({"--to", "alpha", "Echo", fits})["statuses"], json::array({0}));
  int status = 0;
  EXPECT_EQ(Call({"--to", "alpha", "Echo", larger}, &status)["statuses"],
            json::array({static_cast<std::int32_t>(0x80060005)}));
  EXPECT_EQ(status, 1);
  ExpectCleanStop(*alpha);
  ExpectCleanStop(*kivd);
  std::ifstream log(dir_ + "/ZibNetworks/Logs/kiv.log");
  const std::string logged{std::istreambuf_iterator<char>(log), {}};
  // The size counts the whole message: the value's 3006 bytes and the names.
  EXPECT_TRUE(std::regex_search(
      logged, std::regex(R"(\[WARN \] - KIV: request refused: 30\d\d bytes or more, )"
                         R"(MaxMessageSize is 2048 bytes)")))
      << logged;
}

TEST_F(KivdProgramTest, AStoppingSatelliteAnswersTheCallsInProgress) {
  auto kivd = StartKivd();
  auto alpha = Serve("alpha");
  const auto threadsOfAlpha = [&] {
    const auto stats = kiv::testing::ReadProcessStats(alpha->pid());
    return stats ? stats->threads : 0;
  };
  const int idleThreads = threadsOfAlpha();
  ChildProcess caller(KIV_CLI_PATH, {"--name", "caller", "call", "--to", "alpha", "Sleep", "3000"},
                      environment_);
  // The call is in progress once alpha holds a worker for it at two looks
  // 100 ms apart (a ping's worker lasts microseconds); it takes three seconds.
  bool inProgress = false;
  for (int look = 0; look < 100 && !inProgress; ++look) {
    std::this_thread::sleep_for(milliseconds(100));
    if (threadsOfAlpha() > idleThreads) {
      std::this_thread::sleep_for(milliseconds(100));
      inProgress = threadsOfAlpha() > idleThreads;
    }
  }
  ASSERT_TRUE(inProgress);
  alpha->Signal(SIGTERM);
  EXPECT_EQ(caller.WaitForLine("{", seconds(10)), R"({"statuses":[0],"values":[3000]})");
  EXPECT_EQ(caller.Wait(seconds(5)), 0);
  EXPECT_EQ(alpha->Wait(seconds(10)), 0);
  ExpectCleanStop(*kivd);
}

// Every program started here runs with its time limits divided by ten
// (KIV_TIME_SCALE), so the 30-second bound is 3 seconds.
TEST_F(KivdProgramTest, TheBoundedModeGivesUpOnASlowTargetAfterItsBound) {
  ASSERT_EQ(::setenv("KIV_TIME_SCALE", "10", 1), 0);
  struct Restore {
    ~Restore() { ::unsetenv("KIV_TIME_SCALE"); }
  } restore;
  auto kivd = StartKivd();
  auto alpha = Serve("alpha");
  EXPECT_EQ(Call({"--to", "alpha", "--bounded", "Sleep", "100"}),
            json::parse(R"({"statuses": [0], "values": [100]})"));
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  const json slow = Call({"--to", "alpha", "--bounded", "Sleep", "3200"}, &status);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(slow, json::parse(R"({"statuses": [131110], "values": [{"empty": null}]})"));
  EXPECT_EQ(slow["statuses"][0], kTimedOut);
  EXPECT_EQ(status, 1);
  EXPECT_GE(took, milliseconds(2900));
  EXPECT_LT(took, milliseconds(3200));
  ExpectCleanStop(*alpha);  // after its sleep has run out
  ExpectCleanStop(*kivd);
}

}  // namespace
