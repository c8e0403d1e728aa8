#include "support/log/cbblog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <memory>
#include <regex>
#include <vector>

#include "support/log/log_test_util.h"
#include "support/threads/test_util.h"

namespace kiv::logtest {
namespace {

std::unique_ptr<CBBLog> FixedClockLogger() {
  return std::make_unique<CBBLog>(u"kiv.log", false, FixedTime);
}

// A message whose INFO line is 1035 bytes long.
const std::u16string kKilo(1000, u'k');
const std::string kKiloLine = Line("INFO ", std::string(1000, 'k'));
// Lines of kKilo that take a fresh file's counter to the rotation size.
const std::size_t kKiloLinesToRotate = (kLogRotateSize + kKiloLine.size() - 1) / kKiloLine.size();

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CBBLogFormat, LinesMatchByteForByte) {
  LogSandbox sandbox(4);
  auto logger = FixedClockLogger();
  logger->Log(LOG_INFO, u"hello %s %d", u"w\u00e9rld", 5);
  logger->Log(u"at debug %u", 7u);
  logger->Log(LOG_FATAL, u"going down");
  // The error log is written on the caller's thread, before Log returns.
  const std::string fatal = Line("FATAL", "log_test - going down");
  EXPECT_EQ(FileText(sandbox.LogPath("ZibErrors.log")), fatal);
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("INFO ", "hello w\xC3\xA9rld 5") + Line("DEBUG", "at debug 7") + fatal);

  logger = std::make_unique<CBBLog>(u"pid.log", true, FixedTime);
  logger->Log(LOG_FATAL, u"f");
  logger.reset();
  EXPECT_EQ(
      FileText(sandbox.LogPath("pid.log")),
      std::string(kFixedStamp) + " [FATAL] " + std::to_string(::getpid()) + " - log_test - f\n");

  // No file name: the program's.
  logger = std::make_unique<CBBLog>(u"", false, FixedTime);
  logger->Log(LOG_ERROR, u"e");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("log_test.log")), Line("ERROR", "e"));
}

TEST(CBBLogFormat, MessageTextIsCutAndConvertedUnitByUnit) {
  LogSandbox sandbox(7);
  auto logger = FixedClockLogger();
  const std::u16string exact(2047, u'a'), longer(3000, u'b');
  logger->Log(LOG_INFO, u"%s", exact.c_str());
  logger->Log(LOG_INFO, u"%s%s", longer.c_str(), u"tail");
  logger->Log(boost::wformat(L"%1%") % std::wstring(3000, L'c'), LOG_INFO);  // not cut
  logger->Log(LOG_INFO, u"%s", u"\U0001F600");
  logger->Log(boost::wformat(L"%1%") % L"\U0001F600", LOG_INFO);
  // Dropped: missing format argument, levels without a name, no format.
  EXPECT_NO_THROW(logger->Log(boost::wformat(L"%1% %2%") % 1, LOG_INFO));
  logger->Log(5, u"five");
  logger->Log(-1, u"minus one");
  logger->Log(nullptr);
  logger.reset();
  const std::string smiley = "\xED\xA0\xBD\xED\xB8\x80";
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("INFO ", std::string(2047, 'a')) + Line("INFO ", std::string(2047, 'b')) +
                Line("INFO ", std::string(3000, 'c')) + Line("INFO ", smiley) +
                Line("INFO ", smiley));
}

TEST(CBBLogThreshold, DefaultsToErrorAndCreatesNothingBelowIt) {
  LogSandbox sandbox(std::nullopt);
  auto logger = FixedClockLogger();
  EXPECT_EQ(logger->Threshold(), -1);
  logger->Log(LOG_WARN, u"w");
  EXPECT_EQ(logger->Threshold(), LOG_ERROR);
  EXPECT_FALSE(PathExists(sandbox.DataFolder() + "/ZibNetworks"));
  logger->Log(LOG_ERROR, u"e");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")), Line("ERROR", "e"));
  // Created with the first line, but only FATAL lines go there.
  EXPECT_EQ(FileText(sandbox.LogPath("ZibErrors.log")), "");
}

TEST(CBBLogThreshold, ZeroKeepsOnlyFatalLines) {
  LogSandbox sandbox(0);
  auto logger = FixedClockLogger();
  for (int level = LOG_DEBUG; level >= LOG_FATAL; --level) logger->Log(level, u"level %d", level);
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")), Line("FATAL", "log_test - level 0"));
}

TEST(CBBLogThreshold, IsReadAtTheFirstMessageAndKeptUnlessMinusOne) {
  LogSandbox sandbox(0);
  auto logger = FixedClockLogger();
  sandbox.SetLogLevel(0xFFFFFFFFu);  // after construction, before the first message
  logger->Log(LOG_FATAL, u"f");
  EXPECT_EQ(logger->Threshold(), -1);
  EXPECT_FALSE(PathExists(sandbox.DataFolder() + "/ZibNetworks"));
  sandbox.SetLogLevel(4);  // -1 is read again at the next message
  logger->Log(LOG_DEBUG, u"one");
  sandbox.SetLogLevel(0);  // other values are kept
  logger->Log(LOG_DEBUG, u"two");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")), Line("DEBUG", "one") + Line("DEBUG", "two"));
}

// Both files follow the same two rotation rules; kiv.log is fed INFO lines,
// the error log FATAL lines.
class CBBLogRotation : public ::testing::TestWithParam<const char*> {
 protected:
  bool ErrorLog() const { return std::string(GetParam()) == "ZibErrors.log"; }
  void LogOne(CBBLog& logger, const std::u16string& text) {
    logger.Log(ErrorLog() ? LOG_FATAL : LOG_INFO, u"%s", text.c_str());
  }
  std::string Expected(const std::string& text) {
    return ErrorLog() ? Line("FATAL", "log_test - " + text) : Line("INFO ", text);
  }
};

TEST_P(CBBLogRotation, FileAboveTheLimitIsCopiedAsideAtInitialisation) {
  LogSandbox sandbox(4);
  const std::string path = sandbox.LogPath(GetParam());
  WriteFileOfSize(path, kLogRotateSize + 1);
  const std::string old = FileText(path);
  auto logger = FixedClockLogger();
  LogOne(*logger, u"fresh");
  logger.reset();
  EXPECT_EQ(FileText(path + ".back"), old);
  EXPECT_EQ(FileText(path), Expected("fresh"));
}

TEST_P(CBBLogRotation, FileAtTheLimitIsMovedAsideAfterTheNextLine) {
  LogSandbox sandbox(4);
  const std::string path = sandbox.LogPath(GetParam());
  WriteFileOfSize(path, kLogRotateSize);
  const std::string old = FileText(path);
  auto logger = FixedClockLogger();
  LogOne(*logger, u"last");
  LogOne(*logger, u"first");
  logger.reset();
  EXPECT_EQ(FileText(path + ".back"), old + Expected("last"));
  EXPECT_EQ(FileText(path), Expected("first"));
}

TEST_P(CBBLogRotation, CounterReachingTheLimitExactlyTriggersTheMove) {
  LogSandbox sandbox(4);
  const std::string path = sandbox.LogPath(GetParam());
  const std::string line = Expected(std::string(1000, 'k'));
  WriteFileOfSize(path, kLogRotateSize - 3 * line.size());
  const std::string old = FileText(path);
  auto logger = FixedClockLogger();
  for (int i = 0; i < 5; ++i) LogOne(*logger, kKilo);
  logger.reset();
  EXPECT_EQ(FileText(path + ".back"), old + line + line + line);
  EXPECT_EQ(FileText(path), line + line);
}

INSTANTIATE_TEST_SUITE_P(BothFiles, CBBLogRotation, ::testing::Values("kiv.log", "ZibErrors.log"));

TEST(CBBLogFallback, NumberedNameIsUsedAndRotatesUnderItsOwnName) {
  LogSandbox sandbox(4);
  std::filesystem::create_directories(sandbox.LogPath("kiv.log"));
  auto logger = FixedClockLogger();
  for (std::size_t i = 0; i <= kKiloLinesToRotate; ++i) logger->Log(LOG_INFO, u"%s", kKilo.c_str());
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log1.back")).size(),
            kKiloLinesToRotate * kKiloLine.size());
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log1")), kKiloLine);
  EXPECT_FALSE(PathExists(sandbox.LogPath("kiv.log11")));
}

TEST(CBBLogFallback, NinthNumberIsTheLastTried) {
  LogSandbox sandbox(4);
  std::filesystem::create_directories(sandbox.LogPath("kiv.log"));
  for (int i = 1; i <= 8; ++i)
    std::filesystem::create_directory(sandbox.LogPath("kiv.log" + std::to_string(i)));
  auto logger = FixedClockLogger();
  logger->Log(LOG_INFO, u"ninth");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log9")), Line("INFO ", "ninth"));

  // With none of the ten names usable, only the error log gets lines.
  std::filesystem::remove(sandbox.LogPath("kiv.log9"));
  std::filesystem::create_directory(sandbox.LogPath("kiv.log9"));
  logger = FixedClockLogger();
  logger->Log(LOG_FATAL, u"kept");
  logger.reset();
  EXPECT_FALSE(PathExists(sandbox.LogPath("kiv.log10")));
  EXPECT_EQ(FileText(sandbox.LogPath("ZibErrors.log")), Line("FATAL", "log_test - kept"));
}

TEST(CBBLogFailure, UnusableFoldersDropEveryLineQuietly) {
  LogSandbox sandbox(4);
  // Logs folder blocked by a file.
  WriteFileOfSize(sandbox.DataFolder() + "/ZibNetworks", 10);
  auto logger = FixedClockLogger();
  logger->Log(LOG_FATAL, u"nowhere");
  logger.reset();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sandbox.DataFolder()), {}), 1);
  // No data folder at all.
  sandbox.SetDataFolder(sandbox.DataFolder() + "/ZibNetworks/data");
  logger = FixedClockLogger();
  logger->Log(LOG_FATAL, u"nowhere");
  logger.reset();
  EXPECT_EQ(FileText(sandbox.Root() + "/data/ZibNetworks"), std::string(10, 'o'));
}

TEST(CBBLogFailure, RefusedWritesDropLinesAndLoggingGoesOn) {
  LogSandbox sandbox(4);
  std::filesystem::create_directories(sandbox.LogPath(""));
  std::filesystem::create_symlink("/dev/full", sandbox.LogPath("kiv.log"));
  auto logger = FixedClockLogger();
  logger->Log(LOG_FATAL, u"still here");
  EXPECT_EQ(FileText(sandbox.LogPath("ZibErrors.log")), Line("FATAL", "log_test - still here"));
  // Refused lines count too: the counter rotates the device link away and
  // later lines reach a real file.
  for (std::size_t i = 0; i < kKiloLinesToRotate; ++i) logger->Log(LOG_INFO, u"%s", kKilo.c_str());
  logger->Log(LOG_INFO, u"landed");
  logger.reset();
  EXPECT_TRUE(std::filesystem::is_symlink(sandbox.LogPath("kiv.log.back")));
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")), Line("INFO ", "landed"));
}

TEST(CBBLogConcurrency, ManyThreadsLoseNothingAndNeverInterleave) {
  LogSandbox sandbox(4);
  auto logger = FixedClockLogger();
  constexpr int kThreads = 8;
  constexpr int kLines = 1500;  // about 720 kB: one rotation on the way
  {
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<TestThread>([&logger, t] {
        for (int n = 0; n < kLines; ++n) {
          logger->Log(n % 100 == 0 ? LOG_FATAL : LOG_INFO, u"thread %d line %05d \u00e9\u20ac", t,
                      n);
        }
      }));
    }
  }
  logger.reset();
  const std::regex pattern(
      "2026/01/31 09:05:07\\.042 \\[(INFO |FATAL)\\] - (log_test - )?thread (\\d) line (\\d{5}) "
      "\xC3\xA9\xE2\x82\xAC");
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : SplitLines(FileText(sandbox.LogPath("kiv.log.back")) +
                                            FileText(sandbox.LogPath("kiv.log")))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    const int t = std::stoi(match[3]);
    ASSERT_EQ(std::stoi(match[4]), next[t]) << line;  // one thread's lines keep their order
    ++next[t];
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
  EXPECT_EQ(SplitLines(FileText(sandbox.LogPath("ZibErrors.log"))).size(),
            static_cast<std::size_t>(kThreads * kLines / 100));
}

TEST(CBBLogLifetime, DestructionWritesEveryQueuedLineFirst) {
  LogSandbox sandbox(4);
  // kiv.log is a pipe nobody reads while lines are logged: the writer thread
  // blocks once it is full, so most lines are still queued at destruction.
  const std::string pipe = sandbox.LogPath("kiv.log");
  std::filesystem::create_directories(sandbox.LogPath(""));
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int readEnd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(readEnd, 0);
  ASSERT_EQ(::fcntl(readEnd, F_SETFL, 0), 0);  // blocking reads from here on
  auto logger = FixedClockLogger();
  constexpr int kLines = 5000;  // about 210 kB, several times a pipe's capacity
  for (int n = 0; n < kLines; ++n) logger->Log(LOG_DEBUG, u"line %d", n);
  std::string received;
  {
    // Reads until the logger closes the pipe (at once if it never opened it).
    TestThread reader([&received, readEnd] {
      char buffer[65536];
      ssize_t count;
      while ((count = ::read(readEnd, buffer, sizeof buffer)) > 0) received.append(buffer, count);
    });
    logger.reset();
  }
  ::close(readEnd);
  const std::vector<std::string> lines = SplitLines(received);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
  for (int n = 0; n < kLines; ++n) {
    ASSERT_EQ(lines[n] + "\n", Line("DEBUG", "line " + std::to_string(n)));
  }
}

}  // namespace
}  // namespace kiv::logtest
