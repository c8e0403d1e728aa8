#include "directory/table_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/locale/encoding_utf.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "support/log/log.h"

namespace kiv::directory {
namespace {

using nlohmann::json;
namespace conv = boost::locale::conv;

constexpr int kFormatVersion = 1;
constexpr char kFormat[] = "kivd table";

// UTF-8 text; a name holding a lone surrogate (which has no UTF-8 form) is
// kept as its UTF-16 units, so every name comes back exactly.
json TextValue(const std::u16string& text) {
  try {
    return conv::utf_to_utf<char>(text, conv::stop);
  } catch (const conv::conversion_error&) {
    return std::vector<std::uint16_t>(text.begin(), text.end());
  }
}

std::u16string TextOf(const json& value) {
  if (value.is_array()) {
    const auto units = value.get<std::vector<std::uint16_t>>();
    return {units.begin(), units.end()};
  }
  return conv::utf_to_utf<char16_t>(value.get<std::string>(), conv::stop);
}

// A name as the directory would have taken it: not empty, no NUL.
std::u16string NameOf(const json& value) {
  std::u16string name = TextOf(value);
  if (name.empty() || name.find(u'\0') != std::u16string::npos) {
    throw TableFileError("a name is empty or holds a NUL character");
  }
  return name;
}

SatelliteRecord RecordOf(const json& entry) {
  SatelliteRecord record;
  record.id = entry.at("id").get<std::int32_t>();
  if (record.id <= 0) throw TableFileError("satellite id " + std::to_string(record.id));
  record.name = NameOf(entry.at("name"));
  record.computer = TextOf(entry.at("computer"));
  record.host = entry.at("host").get<std::string>();
  record.port = entry.at("port").get<std::uint16_t>();
  for (const json& service : entry.at("services")) {
    record.services.push_back({NameOf(service.at(0)), TextOf(service.at(1))});
  }
  return record;
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  int get() const { return fd_; }
  // Closes now, answering close's result.
  int Close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

[[noreturn]] void FailStep(const std::string& step, const std::string& path) {
  throw TableFileError("cannot " + step + " " + path + ": " + std::strerror(errno));
}

// The file's bytes; nullopt with the system's reason in `error`.
std::optional<std::string> ReadWhole(const std::string& path, int& error) {
  FileCloser file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string text;
  char block[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), block, sizeof block);
    if (n == 0) return text;
    if (n > 0) {
      text.append(block, static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      error = errno;
      return std::nullopt;
    }
  }
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  return stamp;
}

void SetAside(const std::string& path, const std::string& reason) {
  const std::string aside = path + ".bad-" + UtcStamp();
  if (::rename(path.c_str(), aside.c_str()) == 0) {
    LogError(
        u"kivd: table file %hs not used (%hs); moved it to %hs, starting with no "
        u"remembered satellites",
        path.c_str(), reason.c_str(), aside.c_str());
  } else {
    LogError(
        u"kivd: table file %hs not used (%hs) and not moved aside (%hs); starting with no "
        u"remembered satellites",
        path.c_str(), reason.c_str(), std::strerror(errno));
  }
}

}  // namespace

std::string TableText(const TableImage& image) {
  json satellites = json::array();
  for (const SatelliteRecord& record : image.satellites) {
    json services = json::array();
    for (const ServiceOffer& offer : record.services) {
      services.push_back(json::array({TextValue(offer.name), TextValue(offer.description)}));
    }
    satellites.push_back({{"id", record.id},
                          {"name", TextValue(record.name)},
                          {"computer", TextValue(record.computer)},
                          {"host", record.host},
                          {"port", record.port},
                          {"services", std::move(services)}});
  }
  json listeners = json::array();
  for (const auto& [service, followers] : image.listeners) {
    json names = json::array();
    for (const std::u16string& follower : followers) names.push_back(TextValue(follower));
    listeners.push_back({{"service", TextValue(service)}, {"listeners", std::move(names)}});
  }
  const json file = {{"format", kFormat},
                     {"version", kFormatVersion},
                     {"satellites", std::move(satellites)},
                     {"listeners", std::move(listeners)}};
  return file.dump(1) + "\n";
}

TableImage ParseTableText(std::string_view text) {
  try {
    const json file = json::parse(text);
    if (file.at("format") != kFormat || file.at("version") != kFormatVersion) {
      throw TableFileError("not a kivd table of version " + std::to_string(kFormatVersion));
    }
    TableImage image;
    for (const json& entry : file.at("satellites")) image.satellites.push_back(RecordOf(entry));
    for (const json& entry : file.at("listeners")) {
      auto& followers = image.listeners[NameOf(entry.at("service"))];
      for (const json& follower : entry.at("listeners")) followers.insert(NameOf(follower));
    }
    return image;
  } catch (const json::exception& e) {
    throw TableFileError(e.what());
  } catch (const conv::conversion_error&) {
    throw TableFileError("a text is not UTF-8");
  }
}

void WriteTableFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  FileCloser file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) FailStep("create", temporary);
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(file.get(), text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) FailStep("write", temporary);
    written += static_cast<std::size_t>(n);
  }
  // On the disk before the rename, so that a power cut cannot leave the
  // new name on an empty file.
  if (::fsync(file.get()) != 0) FailStep("flush", temporary);
  if (file.Close() != 0) FailStep("close", temporary);
  if (::rename(temporary.c_str(), path.c_str()) != 0) FailStep("rename to " + path, temporary);
}

std::optional<TableImage> LoadTableFile(const std::string& path) {
  int error = 0;
  const std::optional<std::string> text = ReadWhole(path, error);
  if (!text) {
    if (error != ENOENT) SetAside(path, std::string("cannot read it: ") + std::strerror(error));
    return std::nullopt;
  }
  try {
    return ParseTableText(*text);
  } catch (const TableFileError& e) {
    SetAside(path, e.what());
    return std::nullopt;
  }
}

}  // namespace kiv::directory
