#include "support/registry/registry_store.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "support/registry/registry_file.h"

namespace kiv::registry {
namespace {

constexpr const char* kDefaultPath = "/etc/kiv/registry.reg";
constexpr mode_t kNewFileMode = 0644;  // configuration is readable by every user
// A temporary file older than this goes even when a process of its writer's
// id still runs: that id was reused, or belongs to another pid namespace.
constexpr auto kStaleTemporaryAge = std::chrono::minutes(10);

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the error a late write-back can cause.
  bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

std::string Parent(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent;
}

// The file's bytes; an empty text for a missing file. Nullopt on any other
// failure, with `problem` set.
std::optional<std::string> ReadText(const std::string& path, std::string& problem) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return std::string();
    problem = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const UniqueFd file(fd);
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return text;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<StoreFile> ReadStoreFile(const std::string& path, std::string& problem) {
  const auto text = ReadText(path, problem);
  if (!text) return std::nullopt;
  ParseError error;
  auto file = ParseStoreFile(*text, &error);
  if (!file) problem = path + ":" + std::to_string(error.line) + ": " + error.message;
  return file;
}

// "<store>.tmp-": a writer's temporary file is this, its process id, '-'
// and mkostemp's six characters.
std::string TemporaryPrefix(const std::string& path) {
  return path + ".tmp-";
}

// Writers create their temporary file under the lock and rename or remove
// it before they let go of it, so one found under the lock was left by a
// writer that died on the way. It is removed when no process of its
// writer's id exists, or once it is older than kStaleTemporaryAge. Names
// of any other shape are never touched.
void RemoveStaleTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string prefix = fs::path(TemporaryPrefix(path)).filename();
  std::error_code error;
  for (fs::directory_iterator entry(Parent(path), error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename();
    if (!name.starts_with(prefix)) continue;
    const char* const last = name.data() + name.size();
    pid_t writer = 0;
    const auto [digitsEnd, bad] = std::from_chars(name.data() + prefix.size(), last, writer);
    if (bad != std::errc() || writer <= 0 || last - digitsEnd != 7 || *digitsEnd != '-') continue;
    const bool writerGone = ::kill(writer, 0) != 0 && errno == ESRCH;
    std::error_code ignored;
    const auto written = fs::last_write_time(entry->path(), ignored);
    if (writerGone ||
        (!ignored && fs::file_time_type::clock::now() - written > kStaleTemporaryAge)) {
      fs::remove(entry->path(), ignored);
    }
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the text to a new file in the store's folder, flushes it to disk and
// renames it over the store: a reader opens either the old or the new file,
// never a partial one, and a crash leaves one of the two in place.
bool ReplaceFile(const std::string& path, const std::string& text) {
  std::string tempPath = TemporaryPrefix(path) + std::to_string(::getpid()) + "-XXXXXX";
  const UniqueFd temp(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (!temp.valid()) return false;
  TempFileGuard guard(tempPath);
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? old.st_mode & 07777 : kNewFileMode;
  if (::fchmod(temp.get(), mode) != 0 || !WriteAll(temp.get(), text) || ::fsync(temp.get()) != 0) {
    return false;
  }
  if (::rename(tempPath.c_str(), path.c_str()) != 0) return false;
  guard.Release();
  // Makes the rename itself durable; the new content is in place either way.
  const UniqueFd folder(::open(Parent(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) ::fsync(folder.get());
  return true;
}

}  // namespace

std::string StorePath() {
  const char* path = std::getenv("KIV_REGISTRY");
  return path != nullptr && *path != '\0' ? path : kDefaultPath;
}

// Readers take no lock: the store only ever changes by rename, which is
// atomic, so an unlocked read sees one complete version, and a reader never
// waits behind a writer or needs write access to the lock file's folder.
std::optional<Hive> Store::Read(std::string* problem, std::vector<std::string>* warnings) const {
  std::string ignored;
  auto file = ReadStoreFile(path_, problem != nullptr ? *problem : ignored);
  if (!file) return std::nullopt;
  for (const ParseError& warning : file->warnings) {
    if (warnings != nullptr) {
      warnings->push_back(path_ + ":" + std::to_string(warning.line) + ": " + warning.message);
    }
  }
  return std::move(file->hive);
}

// The lock lives in a file of its own because the store file is replaced on
// every write: a lock on it would stay with the old inode and not keep the
// next writer out. The lock file is never removed, for the same reason.
bool Store::Update(const std::function<bool(Hive&)>& change, std::string* problem) const {
  std::string ignored;
  std::string& why = problem != nullptr ? *problem : ignored;
  const auto fail = [&](const std::string& what) {
    why = what + ": " + std::strerror(errno);
    return false;
  };
  std::error_code error;
  std::filesystem::create_directories(Parent(path_), error);
  if (error) {
    why = Parent(path_) + ": " + error.message();
    return false;
  }
  const std::string lockPath = path_ + ".lock";
  const UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode));
  if (!lock.valid()) return fail(lockPath);
  int locked;
  do {
    locked = ::flock(lock.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fail(lockPath);

  RemoveStaleTemporaries(path_);
  auto file = ReadStoreFile(path_, why);
  if (!file || !change(file->hive)) return false;
  const auto text = SerializeStoreFile(*file, &why);
  if (!text) {
    why = path_ + ": " + why;
    return false;
  }
  return ReplaceFile(path_, *text) || fail(path_ + ": the new version could not be written");
}  // closing `lock` releases the lock, after the rename

std::optional<Value> Store::GetValue(Root root, std::u16string_view key,
                                     std::u16string_view name) const {
  const auto hive = Read();
  const Key* stored = hive ? hive->FindKey(root, key) : nullptr;
  const Value* value = stored != nullptr ? FindValue(*stored, name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<std::vector<Value>> Store::GetValues(Root root, std::u16string_view key) const {
  const auto hive = Read();
  if (!hive || !hive->KeyExists(root, key)) return std::nullopt;
  const Key* stored = hive->FindKey(root, key);
  return stored != nullptr ? stored->values : std::vector<Value>();
}

std::optional<std::vector<std::u16string>> Store::GetSubkeys(Root root,
                                                             std::u16string_view key) const {
  const auto hive = Read();
  if (!hive || !hive->KeyExists(root, key)) return std::nullopt;
  return hive->Subkeys(root, key);
}

bool Store::KeyExists(Root root, std::u16string_view key) const {
  const auto hive = Read();
  return hive && hive->KeyExists(root, key);
}

bool Store::CreateKey(Root root, std::u16string_view key) const {
  if (!IsValidKeyPath(key)) return false;
  return Update([&](Hive& hive) {
    hive.OpenOrCreateKey(root, key);
    return true;
  });
}

bool Store::SetValue(Root root, std::u16string_view key, Value value, std::string* problem) const {
  if (!IsValidKeyPath(key) || !IsValidValueName(value.name)) {
    if (problem != nullptr)
      *problem = "a key path or value name with a line break or lone surrogate";
    return false;
  }
  return Update(
      [&](Hive& hive) {
        registry::SetValue(hive.OpenOrCreateKey(root, key), std::move(value));
        return true;
      },
      problem);
}

bool Store::DeleteValue(Root root, std::u16string_view key, std::u16string_view name) const {
  return Update([&](Hive& hive) {
    Key* stored = hive.FindKey(root, key);
    return stored != nullptr && EraseValue(*stored, name);
  });
}

bool Store::DeleteTree(Root root, std::u16string_view key) const {
  return Update([&](Hive& hive) { return hive.DeleteTree(root, key); });
}

}  // namespace kiv::registry
