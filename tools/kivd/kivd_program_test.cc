// Black-box: the real kivd and `kiv serve` programs in this test's private
// network, driven and observed with the kiv command line, HTTP and a browser.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "testing/child_process.h"
#include "testing/raw_peer.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace {

using kiv::testing::ChildProcess;
using nlohmann::json;
using std::chrono::seconds;

constexpr auto kStartTime = seconds(15);
// A registration record as a satellite sends it.
std::string Record(const std::string& name, int knownId = 0,
                   const std::string& services = R"({"empty": null})", int port = 1) {
  return R"([")" + name + R"(", "pc", {"ui2": )" + std::to_string(port) + "}, 1, " +
         std::to_string(knownId) + ", 0, " + services + "]";
}
// The directory's answers to requests it refuses: not found, a wrong value.
const std::string kUnknown = R"({"statuses":[131079],"values":[{"empty":null}]})";
const std::string kRefused = R"({"statuses":[1],"values":[{"empty":null}]})";

class KivdProgramTest : public ::testing::Test {
 protected:
  struct Row {
    std::vector<std::string> args;  // "kivd" first runs kivd, else kiv
    int status;
    std::string out;       // standard output: one line, or none when empty
    std::string err = {};  // a part of standard error
  };

  void ExpectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(::testing::PrintToString(row.args));
      const bool kivd = row.args.at(0) == "kivd";
      const auto outcome = kiv::testing::RunProgram(
          kivd ? KIVD_PATH : KIV_CLI_PATH, {row.args.begin() + kivd, row.args.end()}, "", env_);
      EXPECT_EQ(outcome.status, row.status);
      EXPECT_EQ(outcome.out, row.out.empty() ? "" : row.out + "\n");
      EXPECT_NE(outcome.err.find(row.err), std::string::npos) << outcome.err;
    }
  }

  // A `kiv serve`, once it is registered; *port receives the port it listens on.
  std::unique_ptr<ChildProcess> Serve(std::vector<std::string> args, int* port = nullptr) {
    args.insert(args.begin(), "serve");
    auto serve = std::make_unique<ChildProcess>(KIV_CLI_PATH, args, env_);
    const auto ready = serve->WaitForLine("ready " + args.at(2) + " ", kStartTime);
    EXPECT_TRUE(ready.has_value()) << serve->Errors();
    if (port != nullptr && ready) *port = std::stoi(ready->substr(ready->rfind(' ') + 1));
    return serve;
  }

  // SIGTERM and a clean exit.
  static void ExpectCleanStop(ChildProcess& program) {
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(seconds(15)), 0) << program.Errors();
  }

  // Satellite name -> its entry in `kiv list --json`.
  std::map<std::string, json> List() {
    std::map<std::string, json> byName;
    for (const json& entry :
         json::parse(kiv::testing::RunProgram(KIV_CLI_PATH, {"list", "--json"}, "", env_).out)) {
      byName[entry["name"]] = entry;
    }
    return byName;
  }

  // A metric of `kiv stats --json TARGET` (the directory when empty); -1 when missing.
  double Stat(const std::string& name, const std::string& target = "") {
    std::vector<std::string> args{"stats", "--json"};
    if (!target.empty()) args.push_back(target);
    const auto outcome = kiv::testing::RunProgram(KIV_CLI_PATH, args, "", env_);
    for (const json& sample : json::parse(outcome.out)) {
      if (sample["name"] == name) return sample["value"];
    }
    return -1;
  }

  // The configuration store, holding these values of the library's key.
  void WriteStore(const std::string& values) {
    std::ofstream(dir_.File("registry.reg"))
        << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
        << values;
  }

  kiv::testing::TempDir dir_;
  // Logs and configuration stay in the test's own folder.
  const std::map<std::string, std::string> env_{{"KIV_DATA_DIR", dir_.path().string()},
                                                {"KIV_REGISTRY", dir_.File("registry.reg")}};
};

TEST_F(KivdProgramTest, RegistersListsCallsPingsAndStops) {
  // Usage and values are refused before anything is sent.
  ExpectRows({
      {{"kivd", "--ping-interval", "41"}, 2, "", "kivd: --ping-interval takes seconds from 0.05"},
      {{"call", "Echo", "1"}, 2, "", "kiv: give one of --to DEST and --all"},
      {{"call", "--to", "a", "Echo", R"({"i2": 70000})"}, 2, "", "kiv: value: i2 out of range"},
      {{"call", "--to", "a", "Echo"}, 3, "", "kiv: call: no directory answered at 127.0.0.1:29831"},
      {{"call", "--to", "a", "--async", "--bounded", "Echo"}, 3, "", "kiv: call: no directory"},
      {{"list"}, 3, "", "kiv: list: no directory answered"},
      {{"ping", "a"}, 3, "", "kiv: ping: no directory answered"},
      {{"serve", "--name", "a"}, 3, "", "kiv: serve: no directory answered"},
      {{"--timeout", "0.5", "wait", "a"},
       4,
       "",
       "waiting for the satellite a to register with the directory at 127.0.0.1:29831 (no "
       "directory answered)"},
  });
  // Started before the directory: it keeps asking until one answers.
  ChildProcess waiter(KIV_CLI_PATH, {"wait", "--json", "--service", "sleep"}, env_);
  const auto help = kiv::testing::RunProgram(KIVD_PATH, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: kivd ")) << help.out;

  ChildProcess kivd(KIVD_PATH, {"--users", "ann", "--ping-interval", "0.2"}, env_);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  // Known by the host name unless told otherwise.
  ASSERT_EQ(kivd.WaitForLine("ready ", kStartTime), "ready " + std::string(host)) << kivd.Errors();
  const double registered = Stat("kiv_directory_registrations_total");
  auto watcher = Serve({"--name", "watcher", "--service", "Fail", "--follow", "Echo"});
  int alphaPort = 0;
  auto alpha = Serve({"--name", "alpha"}, &alphaPort);
  auto beta = Serve({"--name", "beta", "--service", "Echo", "--service", "Sleep"});
  EXPECT_GE(Stat("kiv_directory_registrations_total"), registered + 3);
  EXPECT_GT(Stat("kiv_bytes_received_total", "beta"), 0);
  const auto waited = waiter.WaitForLine("{", kStartTime);
  ASSERT_TRUE(waited) << waiter.Errors();
  EXPECT_EQ(json::parse(*waited)["name"], "alpha");
  EXPECT_EQ(waiter.Wait(kStartTime), 0);
  EXPECT_TRUE(
      watcher->WaitForLine(R"({"service":"Echo","satellite":"alpha","state":1})", kStartTime));
  EXPECT_TRUE(
      watcher->WaitForLine(R"({"service":"Echo","satellite":"beta","state":1})", kStartTime));

  auto listed = List();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed.at("MainRegister")["id"], 1);
  EXPECT_EQ(listed.at("MainRegister")["port"], 29831);
  // Every field as alpha registered it; its services in caseless order.
  const json entry = listed.at("alpha");
  EXPECT_EQ(entry["id"], 3);
  EXPECT_EQ(entry["host"], "127.0.0.1");
  EXPECT_EQ(entry["port"], alphaPort);
  EXPECT_EQ(entry["missed_pings"], 0);
  EXPECT_EQ(entry["computer"], listed.at("MainRegister")["computer"]);
  EXPECT_EQ(entry["services"].size(), 4u);  // without the library's own
  EXPECT_EQ(entry["services"][2], json::parse(R"({"name": "Sleep",
      "description": "sleeps the input in milliseconds, then answers it"})"));
  const std::string port = std::to_string(alphaPort);
  EXPECT_TRUE(std::regex_search(kiv::testing::RunProgram(KIV_CLI_PATH, {"list"}, "", env_).out,
                                std::regex("\n3 +alpha +127\\.0\\.0\\.1:" + port +
                                           " +\\S+ +0 +"
                                           "Echo, Fail, Sleep, Throw\n")));
  const json offeringFail = json::parse(
      kiv::testing::RunProgram(KIV_CLI_PATH, {"list", "--json", "--service", "fail"}, "", env_)
          .out);
  ASSERT_EQ(offeringFail.size(), 2u);
  EXPECT_EQ(offeringFail[1]["name"], "alpha");  // after the watcher, in registration order
  EXPECT_EQ(json::parse(kiv::testing::RunProgram(KIV_CLI_PATH, {"list", "--json", "--all-services"},
                                                 "", env_)
                            .out)[2]["services"]
                .size(),
            5u);
  ExpectRows({
      {{"call", "--to", "alpha", "Echo", R"(["hi",2.5])"},
       0,
       R"({"statuses":[0],"values":[["hi",2.5]]})"},
      // ALL: alpha registered first, then beta.
      {{"call", "--all", "Echo", R"({"i2":7})"},
       0,
       R"({"statuses":[0,0],"values":[{"i2":7},{"i2":7}]})"},
      {{"call", "--to", "alpha", "--async", "Echo", "1"}, 0, R"({"statuses":[0]})"},
      {{"call", "--to", "beta", "Fail", "0"}, 1, R"({"statuses":[131079]})", "kiv: call: target 0"},
      {{"call", "--to", "alpha", "Fail", "5"}, 1, R"({"statuses":[5],"values":[{"empty":null}]})"},
      {{"call", "--to", "alpha", "Throw", "7"}, 1, R"({"statuses":[7],"values":[{"empty":null}]})"},
      {{"call", "--to", "alpha", "Throw", R"("x")"}, 1, kRefused},
      // The directory's own requests answer callers directly, too.
      {{"call", "--to", "MainRegister", "GetSatelliteHost", R"("alpha")"},
       0,
       R"({"statuses":[0],"values":[[["127.0.0.1",)" + port + "]]]}"},
      {{"call", "--to", "MainRegister", "UnRegister", Record("nobody")}, 1, kUnknown},
      {{"call", "--to", "MainRegister", "RemoveSatellite", Record("nobody")}, 1, kUnknown},
      // Values of the wrong shape, and a satellite taking the directory's name.
      {{"call", "--to", "MainRegister", "Register", "1"}, 1, kRefused},
      {{"call", "--to", "MainRegister", "Register", R"(["sat"])"}, 1, kRefused},
      {{"call", "--to", "MainRegister", "Register", Record("")}, 1, kRefused},
      {{"call", "--to", "MainRegister", "Register", Record("sat", 0, "2")}, 1, kRefused},
      {{"call", "--to", "MainRegister", "Register", Record("MainRegister")}, 1, kRefused},
      {{"call", "--to", "MainRegister", "GetServiceReg", R"(["ALL"])"}, 1, kRefused},
      // An id the satellite brings is kept (it answers no ping: soon dropped).
      {{"call", "--to", "MainRegister", "Register", Record("sat", 7)},
       0,
       R"({"statuses":[0],"values":[[")" + std::string(host) + R"(",7]]})"},
      {{"ping", "alpha"}, 0, "alive"},
      {{"ping", "alpha", "--json"},
       0,
       R"({"target":"alpha","id":3,"state":"alive","code":0,"code_name":"KIV_OK"})"},
      {{"--timeout", "0.5", "wait", "nobody"}, 4, "", "(the directory answers; not registered"},
      {{"ping", "nobody"}, 1, "dead"},
      {{"ping", "127.0.0.1:" + port, "--id", "3"}, 0, "alive"},
      {{"ping", "127.0.0.1:" + port, "--id", "99"}, 1, "dead"},
      {{"ping", "127.0.0.1:65535", "--id", "1"}, 1, "unknown", "kiv: ping: "},  // none there
      // The announcement reaches the discovery clients.
      {{"discover", "--user", "ann", "--for", "5"}, 0, "127.0.0.1:29831"},
      {{"kivd"}, 1, "", "kivd: cannot serve on TCP port 29831"},
  });
  EXPECT_EQ(List().at("MainRegister")["port"], 29831);  // the impostor did not take its place

  // A killed satellite is dropped after three missed pings, and listeners told.
  beta->Kill();
  const long long dropped = kiv::testing::ElapsedMillis([&] {
    EXPECT_TRUE(
        watcher->WaitForLine(R"({"service":"Echo","satellite":"beta","state":0})", kStartTime));
  });
  // One missed ping is not enough: a single miss drops within one 200 ms
  // interval, three take two more (a round late under load may be followed
  // by the next a little sooner, so not quite 400 ms).
  EXPECT_GE(dropped, 300);
  EXPECT_FALSE(List().contains("beta"));

  // A stopping satellite answers the calls in progress, then leaves.
  // In progress once one more thread of alpha sleeps than before: the Sleep
  // handler's (workers are parked threads, so the thread count alone does
  // not show it; a sanitizer's own thread may sleep too).
  const auto sleepers = [&] {
    int count = 0;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(alpha->pid()) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream syscall(task.path() / "syscall");
      long number = -1;
      if (syscall >> number && (number == SYS_nanosleep || number == SYS_clock_nanosleep)) ++count;
    }
    return count;
  };
  int idleSleepers = 0;  // the most seen over a moment, as others wake now and then
  for (int look = 0; look < 4; ++look) {
    idleSleepers = std::max(idleSleepers, sleepers());
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ChildProcess caller(KIV_CLI_PATH, {"--name", "caller", "call", "--to", "alpha", "Sleep", "1500"},
                      env_);
  ASSERT_TRUE(kiv::testing::WaitUntil([&] { return sleepers() > idleSleepers; }, 10000));
  alpha->Signal(SIGTERM);
  EXPECT_EQ(caller.WaitForLine("{", seconds(10)), R"({"statuses":[0],"values":[1500]})");
  EXPECT_EQ(alpha->Wait(seconds(10)), 0);
  EXPECT_TRUE(
      watcher->WaitForLine(R"({"service":"Echo","satellite":"alpha","state":0})", kStartTime));
  EXPECT_EQ(List().size(), 2u);  // the directory and the watcher
  ExpectCleanStop(*watcher);
  ExpectCleanStop(kivd);
}

// One live holder per name; the directory's table outlives its crash.
TEST_F(KivdProgramTest, ANameHasOneLiveHolderAndTheTableOutlivesACrash) {
  const std::filesystem::path folder = dir_.path() / "ZibNetworks";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "kivd-table.json") << "{\"format\": ";  // cut short
  WriteStore("\"LogLevel\"=dword:00000002\n");
  const auto logged = [&](const std::string& text) {
    return kiv::testing::WaitUntil([&] {
      std::ifstream log(folder / "Logs" / "kiv.log");
      return std::string(std::istreambuf_iterator<char>(log), {}).find(text) != std::string::npos;
    });
  };
  auto kivd =
      std::make_unique<ChildProcess>(KIVD_PATH, std::vector<std::string>{"--log-file"}, env_);
  ASSERT_TRUE(kivd->WaitForLine("ready ", kStartTime)) << kivd->Errors();
  EXPECT_TRUE(logged("kivd-table.json not used"));
  EXPECT_TRUE(std::any_of(std::filesystem::directory_iterator(folder), {}, [](const auto& entry) {
    return entry.path().filename().string().starts_with("kivd-table.json.bad-");
  }));

  int port = 0;
  auto alpha = Serve({"--name", "alpha", "--service", "Echo"}, &port);
  const std::string at = "127.0.0.1:" + std::to_string(port);
  const int alphaId = List().at("alpha")["id"];
  const auto registerGhost = [&] {  // nothing listens on its port 1
    return kiv::testing::RunProgram(
        KIV_CLI_PATH, {"call", "--to", "MainRegister", "Register", Record("ghost")}, "", env_);
  };
  const auto ghost = registerGhost();
  EXPECT_EQ(ghost.status, 0);
  ExpectRows({
      {{"serve", "--name", "alpha"},
       1,
       "",
       "kiv: serve: name alpha is in use by a live satellite at " + at},
      // Neither by name alone nor with another id.
      {{"call", "--to", "MainRegister", "RemoveSatellite", Record("alpha")}, 1, kUnknown},
      {{"call", "--to", "MainRegister", "RemoveSatellite", Record("alpha", alphaId + 1)},
       1,
       kUnknown},
      {{"call", "--to", "MainRegister", "Register", Record(R"(al\u0000pha)")},
       1,
       R"({"statuses":[131128],"values":[{"empty":null}]})"},
  });
  EXPECT_TRUE(logged("the name is in use by the live satellite of id " + std::to_string(alphaId) +
                     " at " + at));
  // A holder that does not answer loses its name.
  const auto newGhost = registerGhost();
  EXPECT_EQ(newGhost.status, 0);
  EXPECT_NE(newGhost.out, ghost.out);  // another id

  kivd->Kill();
  const auto restart = std::chrono::steady_clock::now();
  kivd = std::make_unique<ChildProcess>(KIVD_PATH, std::vector<std::string>{"--log-file"}, env_);
  EXPECT_TRUE(kiv::testing::WaitUntil(
      [&] {
        return kiv::testing::RunProgram(KIV_CLI_PATH, {"call", "--to", "alpha", "Echo", "1"}, "",
                                        env_)
                   .status == 0;
      },
      2000));
  EXPECT_LT(std::chrono::steady_clock::now() - restart, seconds(2));
  EXPECT_TRUE(kiv::testing::WaitUntil([&] { return !List().contains("ghost"); }));
  EXPECT_EQ(List().at("alpha")["id"], alphaId);
  ExpectCleanStop(*alpha);
  ExpectCleanStop(*kivd);
}

}  // namespace

TEST_F(KivdProgramTest, OneShotCommandsLeaveNoTraceAndAHungDirectoryCostsOnlyTheirTimeOut) {
  ChildProcess kivd(KIVD_PATH, {}, env_);
  ASSERT_TRUE(kivd.WaitForLine("ready ", kStartTime)) << kivd.Errors();
  auto alpha = Serve({"--name", "alpha", "--service", "Echo"});
  ExpectRows({{{"call", "--to", "alpha", "Echo", "1"}, 0, R"({"statuses":[0],"values":[1]})"},
              {{"ping", "alpha"}, 0, "alive"}});
  auto listed = List();
  EXPECT_EQ(listed.size(), 2u);  // MainRegister and alpha, no kiv-<pid>
  EXPECT_TRUE(listed.contains("alpha"));

  // Stopped, the directory still takes connections but never answers.
  kivd.Signal(SIGSTOP);
  const std::string waited = "timed out after 1 s waiting for the directory at 127.0.0.1:29831";
  const auto start = std::chrono::steady_clock::now();
  ExpectRows(
      {{{"--timeout", "1", "list"}, 4, "", waited},
       {{"--timeout", "1", "call", "--bounded", "--to", "alpha", "Echo", "1"}, 4, "", waited},
       {{"--timeout", "1", "ping", "alpha"}, 4, "", waited}});
  // Without --timeout the library's own bound on directory answers holds.
  WriteStore("\"DirectoryTimeout\"=dword:00000001\n");
  ExpectRows({{{"--timeout", "0", "list"}, 4, "", "did not answer in time"}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(12));
  kivd.Signal(SIGCONT);

  alpha->Signal(SIGINT);  // Ctrl-C unregisters too
  EXPECT_EQ(alpha->Wait(seconds(15)), 0) << alpha->Errors();
  EXPECT_FALSE(List().contains("alpha"));
  ExpectCleanStop(kivd);
}

// A directory on defaults would hide a broken configuration: it refuses to
// start, on its standard error and in its log.
TEST_F(KivdProgramTest, RefusesToStartOnAStoreItCannotRead) {
  const std::string store = dir_.File("registry.reg");
  std::ofstream(store) << "Windows Registry Editor Version 5.00\n\n\"a\"=dword:1\n";
  const std::string problem = store + ":3: a value before the first [key] section";
  ExpectRows({{{"kivd", "--log-file"}, 5, "", "kivd: configuration store " + problem}});
  std::ifstream log(dir_.path() / "ZibNetworks" / "Logs" / "kiv.log");
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(log), {})
                .find("[ERROR] - KIV: configuration store " + problem),
            std::string::npos);
}

// Under a service manager: ready, a SIGHUP that applies a new log level in
// place, and the stop, each told on the manager's socket.
TEST_F(KivdProgramTest, TellsItsServiceManagerAndReloadsTheLogLevelOnSighup) {
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  dir_.File("notify").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto told = [notify](const std::string& start) {  // the next message
    char text[512] = {};
    const auto got = [&] { return ::recv(notify, text, sizeof text - 1, MSG_DONTWAIT) > 0; };
    return kiv::testing::WaitUntil(got, 15000) && std::string(text).starts_with(start);
  };
  WriteStore("\"LogLevel\"=dword:00000002\n");
  auto env = env_;
  env["NOTIFY_SOCKET"] = dir_.File("notify");
  ChildProcess kivd(KIVD_PATH, {"--server-id", "d1", "--port", "29832"}, env);
  EXPECT_TRUE(told("READY=1\nSTATUS=serving as d1 on TCP port 29832"));
  WriteStore("\"LogLevel\"=dword:00000003\n");
  kivd.Signal(SIGHUP);
  EXPECT_TRUE(told("RELOADING=1\n") && told("READY=1\n"));
  EXPECT_TRUE(kiv::testing::WaitUntil([&] {
    return kivd.Errors().find("[INFO ] - kivd: reloaded on SIGHUP: log level WARN -> INFO") !=
           std::string::npos;
  }));
  // The INFO lines of the start, before it, were left out.
  EXPECT_EQ(kivd.Errors().find("[INFO ] - kivd: directory d1 ready"), std::string::npos);
  kivd.Signal(SIGTERM);
  EXPECT_TRUE(told("STOPPING=1"));
  EXPECT_EQ(kivd.Wait(seconds(15)), 0) << kivd.Errors();
  ::close(notify);
}

// `kiv monitor` hears each kind of change in order, and the directory's going and return.
TEST_F(KivdProgramTest, MonitorPrintsEveryChangeInOrder) {
  const std::vector<std::string> kivdArgs{"--ping-interval", "0.2"};
  auto kivd = std::make_unique<ChildProcess>(KIVD_PATH, kivdArgs, env_);
  ASSERT_TRUE(kivd->WaitForLine("ready ", kStartTime)) << kivd->Errors();
  const auto following = [](ChildProcess& follower) {
    return kiv::testing::WaitUntil(
        [&] { return follower.Errors().find("following the directory") != std::string::npos; });
  };
  // On the directory's return the table stands in for what was missed.
  ChildProcess mainOnly(KIV_CLI_PATH,
                        {"monitor", "--json", "--satellite", "MainRegister", "--count", "3"}, env_);
  ASSERT_TRUE(following(mainOnly));
  ChildProcess ghostOnly(KIV_CLI_PATH, {"monitor", "--json", "--satellite", "ghost"}, env_);
  ASSERT_TRUE(following(ghostOnly));
  ChildProcess monitor(KIV_CLI_PATH, {"monitor", "--count", "10"}, env_);
  ASSERT_TRUE(following(monitor));
  int port = 0;
  auto alpha = Serve({"--name", "alpha", "--service", "Echo", "--service", "Sleep"}, &port);
  const auto tell = [&](const std::string& request, const std::string& record) {
    return kiv::testing::RunProgram(KIV_CLI_PATH, {"call", "--to", "MainRegister", request, record},
                                    "", env_)
        .status;
  };
  EXPECT_EQ(tell("UnRegister", Record("alpha", 5, R"([["Sleep", ""]])", port)), 0);
  EXPECT_EQ(tell("Register", Record("alpha", 5, R"({"empty": null})", port)), 0);
  ExpectCleanStop(*alpha);
  EXPECT_EQ(tell("Register", Record("ghost")), 0);  // nothing answers its pings
  EXPECT_TRUE(kiv::testing::WaitUntil([&] { return !List().contains("ghost"); }));
  ExpectCleanStop(*kivd);
  kivd = std::make_unique<ChildProcess>(KIVD_PATH, kivdArgs, env_);
  std::string seen;
  for (int i = 0; i < 10; ++i) seen += monitor.WaitForLine("", kStartTime).value_or("?") + "\n";
  const std::string alphaAt = "alpha  id 5  127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(seen, "+ registered    " + alphaAt + "\n+ registered    " + alphaAt +
                      "  Echo,Sleep\n- withdrew      " + alphaAt + "  Sleep\n= reregistered  " +
                      alphaAt + "  Echo\n- withdrew      " + alphaAt + "  Echo\n- removed       " +
                      alphaAt + "\n+ registered    ghost  id 6  127.0.0.1:1\n" +
                      "- dropped       ghost  id 6  127.0.0.1:1  (missed pings)\n" +
                      "! directory went away  127.0.0.1:29831\n" +
                      "+ directory came back  127.0.0.1:29831\n");
  EXPECT_EQ(monitor.Wait(kStartTime), 0);  // after --count lines
  std::string mainKinds;
  json present;
  for (int i = 0; i < 3; ++i) {
    present = json::parse(mainOnly.WaitForLine("{", kStartTime).value_or("{}"));
    mainKinds += present.value("kind", "?") + " ";
  }
  EXPECT_EQ(mainKinds, "directory_lost directory_back present ");
  EXPECT_EQ(present.value("satellite", "") + " " + std::to_string(present.value("port", 0)),
            "MainRegister 29831");
  EXPECT_EQ(mainOnly.Wait(kStartTime), 0);
  const json first = json::parse(ghostOnly.WaitForLine("{", kStartTime).value_or("{}"));
  EXPECT_EQ(first.value("satellite", "") + " " + first.value("kind", ""), "ghost registered");
  ExpectCleanStop(ghostOnly);
}

// kiv_requests_served_total at /metrics, all of it Prometheus' text format.
static double RequestsServed(httplib::Client& http) {
  const auto metrics = http.Get("/metrics");
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4");
  const std::regex sample(R"(([a-zA-Z_:][\w:]*)(\{(\w+="([^"\\]|\\.)*",?)*\})? (\S+))");
  std::set<std::string> described;  // "HELP name", "TYPE name"
  double served = 0;
  std::smatch m;
  std::istringstream lines(metrics->body);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, std::regex(R"(# (HELP|TYPE) ([a-zA-Z_:][\w:]*) .+)"))) {
      described.insert(m.str(1) + " " + m.str(2));
    } else {
      EXPECT_TRUE(std::regex_match(line, m, sample)) << line;
      EXPECT_TRUE(described.contains("HELP " + m.str(1)) && described.contains("TYPE " + m.str(1)));
      if (m.str(1) == "kiv_requests_served_total") served += std::stod(m.str(5));
    }
  }
  return served;
}

// kivd --http for scrapers and browsers: it answers as `kiv list` does, its
// counters move, stalled clients delay no registration, and the rendered
// status page follows the satellites (its screenshot is the README's).
TEST_F(KivdProgramTest, HttpServesScrapersAndBrowsersWithoutDelayingSatellites) {
  ChildProcess kivd(KIVD_PATH, {"--http", "29880"}, env_);
  ASSERT_TRUE(kivd.WaitForLine("ready ", kStartTime)) << kivd.Errors();
  httplib::Client http("127.0.0.1", 29880);
  auto alpha = Serve({"--name", "alpha"});
  EXPECT_EQ(http.Get("/healthz")->body, "ok\n");
  EXPECT_EQ(json::parse(http.Get("/satellites")->body),
            json::parse(kiv::testing::RunProgram(KIV_CLI_PATH, {"list", "--json"}, "", env_).out));
  const double before = RequestsServed(http);
  ExpectRows({{{"call", "--to", "alpha", "Echo", "1"}, 0, R"({"statuses":[0],"values":[1]})"}});
  EXPECT_GT(RequestsServed(http), before);
  ChildProcess taken(KIVD_PATH, {"--port", "29832", "--http", "29880"}, env_);
  EXPECT_EQ(taken.Wait(kStartTime), 1);  // its HTTP port is held
  EXPECT_NE(taken.Errors().find("cannot serve HTTP on 127.0.0.1:29880"), std::string::npos);
  std::vector<kiv::testing::Socket> stalled;  // more than HTTP serves at once, half a request each
  for (int i = 0; i < 20; ++i) {
    stalled.push_back(kiv::testing::ConnectTo(29880));
    ASSERT_EQ(::send(stalled.back().get(), "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL), 18);
  }
  std::unique_ptr<ChildProcess> beta;
  EXPECT_LT(kiv::testing::ElapsedMillis([&] { beta = Serve({"--name", "beta"}); }), 1000);
  stalled.clear();

  if (!std::filesystem::exists("/usr/bin/chromium")) GTEST_SKIP() << "needs /usr/bin/chromium";
  const auto browse = [&](const std::string& what) {
    return kiv::testing::RunProgram(
               "/usr/bin/chromium",
               {"--headless=new", "--no-sandbox", "--disable-gpu", "--virtual-time-budget=3000",
                "--user-data-dir=" + dir_.File("browser"), "--window-size=1200,800", what,
                "http://127.0.0.1:29880/"})
        .out;
  };
  browse("--screenshot=" KIVD_SCREENSHOT);
  EXPECT_NE(browse("--dump-dom").find(R"(<tr data-satellite="alpha">)"), std::string::npos);
  ExpectCleanStop(*alpha);
  const std::string shown = browse("--dump-dom");
  EXPECT_EQ(shown.find(R"(data-satellite="alpha")"), std::string::npos) << shown;
  EXPECT_NE(shown.find(R"(<tr data-satellite="beta">)"), std::string::npos) << shown;
}
