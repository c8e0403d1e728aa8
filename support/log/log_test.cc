#include "support/log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "support/log/log_burst.h"
#include "support/log/log_paths.h"
#include "support/log/log_sink.h"
#include "support/log/log_test_util.h"
#include "testing/wait.h"

namespace kiv::logtest {
namespace {

using kiv::testing::TempDir;
using kiv::testing::TestThread;

std::unique_ptr<CBBLog> FixedClockLogger() {
  return std::make_unique<CBBLog>(u"kiv.log", false, FixedTime);
}

TEST(LogFile, RotatesAboveTheLimitWhenOpeningAndAtTheLimitWhenWriting) {
  TempDir dir;
  const std::string above = dir.File("above"), exact = dir.File("exact"), below = dir.File("below");
  WriteFileOfSize(above, kLogRotateSize + 1);
  WriteFileOfSize(exact, kLogRotateSize);
  WriteFileOfSize(below, kLogRotateSize - 10);
  const std::string aboveText = FileText(above), belowText = FileText(below);
  LogFile file;
  file.Open(above);  // copied aside, then started afresh
  EXPECT_EQ(FileText(above + ".back") + FileText(above), aboveText);
  file.Open(exact);
  EXPECT_EQ(file.Size(), kLogRotateSize);
  file.Open(below);
  file.WriteLine("123456789");
  EXPECT_EQ(file.Size(), kLogRotateSize - 1);
  file.WriteLine("x");  // the counter reaches the limit
  file.WriteLine("next\n");
  EXPECT_EQ(FileText(below + ".back"), belowText + "123456789x");
  EXPECT_EQ(FileText(below), "next\n");
  EXPECT_FALSE(std::filesystem::exists(exact + ".back"));
}

// FATAL lines also go to the error log, on the caller's thread, with the
// program's name; messages are cut to 2047 units, but not format objects.
TEST(CBBLog, WritesLinesByteForByte) {
  LogSandbox sandbox(4);
  auto logger = FixedClockLogger();
  logger->Log(LOG_INFO, u"hello %s %d", u"w\u00e9rld", 5);
  logger->Log(u"%s", std::u16string(3000, u'b').c_str());  // at DEBUG, cut
  logger->Log(LOG_FATAL, u"going down");
  const std::string fatal = Line("FATAL", "log_test - going down");
  EXPECT_EQ(FileText(sandbox.LogPath("ZibErrors.log")), fatal);
  logger->Log(boost::wformat(L"%1%") % std::wstring(3000, L'c'), LOG_INFO);
  logger->Log(boost::wformat(L"%1%") % L"\U0001F600", LOG_WARN);
  // Dropped: a missing format argument, levels without a name, no format.
  EXPECT_NO_THROW(logger->Log(boost::wformat(L"%1% %2%") % 1, LOG_INFO));
  logger->Log(5, u"five");
  logger->Log(-1, u"minus one");
  logger->Log(nullptr);
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("INFO ", "hello w\xC3\xA9rld 5") + Line("DEBUG", std::string(2047, 'b')) + fatal +
                Line("INFO ", std::string(3000, 'c')) + Line("WARN ", "\xED\xA0\xBD\xED\xB8\x80"));

  logger = std::make_unique<CBBLog>(u"", true, FixedTime);  // the program's name, with pid
  logger->Log(LOG_ERROR, u"e");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("log_test.log")),
            "2026/01/31 09:05:07.042 log_test[" + std::to_string(::getpid()) + "] [ERROR] " +
                std::to_string(::getpid()) + " - e\n");
}

// kiv.log is a pipe nobody reads while the threads log: the writer thread
// blocks once it is full, so most lines are still queued at destruction.
TEST(CBBLog, ConcurrentLinesStayWholeInOrderAndAllReachTheFileAtDestruction) {
  LogSandbox sandbox(4);
  std::filesystem::create_directories(sandbox.LogPath(""));
  ASSERT_EQ(::mkfifo(sandbox.LogPath("kiv.log").c_str(), 0600), 0);
  const int readEnd = ::open(sandbox.LogPath("kiv.log").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_EQ(::fcntl(readEnd, F_SETFL, 0), 0);  // blocking reads from here on
  auto logger = FixedClockLogger();
  constexpr int kThreads = 4, kLines = 800;  // about 160 kB, more than a pipe holds
  {
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<TestThread>([&logger, t] {
        for (int n = 0; n < kLines; ++n) logger->Log(LOG_INFO, u"thread %d line %d", t, n);
      }));
    }
  }
  std::string received;
  {
    TestThread reader([&received, readEnd] {
      char buffer[65536];
      for (ssize_t n; (n = ::read(readEnd, buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    });
    logger.reset();
  }
  ::close(readEnd);
  std::vector<int> next(kThreads, 0);
  std::istringstream in(received);
  int t = 0, n = 0;
  for (std::string line; std::getline(in, line);) {
    ASSERT_EQ(std::sscanf(line.c_str() + 23, " %*s [INFO ] - thread %d line %d", &t, &n), 2)
        << line;
    ASSERT_EQ(n, next.at(t)++) << line;
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// kivd's standard error: the journal's form only while it is the stream
// JOURNAL_STREAM names.
TEST(LogSink, StandardErrorCarriesSyslogPrioritiesOnlyForTheJournal) {
  struct stat info {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &info), 0);
  const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  ::setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);
  const auto console = MakeStandardErrorSink();
  ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
  const auto journal = MakeStandardErrorSink();
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(console->Line(FixedTime(), LOG_WARN, "w"), Line("WARN ", "w"));
  EXPECT_EQ(journal->Line({}, LOG_ERROR, "e") + journal->Line({}, LOG_INFO, "i"), "<3>e\n<6>i\n");
}

TEST(LogFunctions, EachWritesAtItsLevelWhileALoggerLives) {
  LogSandbox sandbox(3);
  LogFatal(u"nobody listens %d", 1);
  LogError(boost::wformat(L"nobody"));
  EXPECT_FALSE(std::filesystem::exists(sandbox.DataFolder()));

  auto logger = boost::make_shared<CBBLog>(u"kiv.log", false, FixedTime);
  SetGlobalLogger(logger);
  LogDebug(u"d");
  LogInfo(u"i%s", u"3");
  LogWarn(u"w");
  LogError(u"e");
  LogFatal(u"f");
  LogDebug(boost::wformat(L"d"));
  LogInfo(boost::wformat(L"%1%-%2%") % 4 % L"i");
  LogWarn(boost::wformat(L"w"));
  LogError(boost::wformat(L"e"));
  LogFatal(boost::wformat(L"f%1%") % 0);
  logger.reset();  // held weakly: this was the last owner
  EXPECT_FALSE(GetGlobalLogger());
  LogFatal(u"gone");
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("INFO ", "i3") + Line("WARN ", "w") + Line("ERROR", "e") +
                Line("FATAL", "log_test - f") + Line("INFO ", "4-i") + Line("WARN ", "w") +
                Line("ERROR", "e") + Line("FATAL", "log_test - f0"));
}

}  // namespace
}  // namespace kiv::logtest

TEST(LogBurst, PassesTheFirstLinesOfAPeriodAndCountsTheRestIntoTheNextLine) {
  using namespace std::chrono_literals;
  kiv::LogBurst burst(2, 60s);
  const auto start = kiv::LogBurst::Clock::now();
  std::string note = "unset";
  EXPECT_TRUE(burst.Admit(note, start));
  EXPECT_EQ(note, "");
  EXPECT_TRUE(burst.Admit(note, start + 1s));
  EXPECT_FALSE(burst.Admit(note, start + 2s));
  EXPECT_FALSE(burst.Admit(note, start + 59s));
  EXPECT_TRUE(burst.Admit(note, start + 60s));
  EXPECT_EQ(note, " (2 more like it not logged)");
  EXPECT_TRUE(burst.Admit(note, start + 61s));
  EXPECT_EQ(note, "");
}
