#include "directory/table_saver.h"

#include "directory/table_file.h"
#include "support/log/log.h"
#include "support/threads/timeout.h"

namespace kiv::directory {
namespace {

constexpr int kRetryMs = 1000;

}  // namespace

TableSaver::TableSaver(std::string path, Text text)
    : path_(std::move(path)), text_(std::move(text)) {}

TableSaver::~TableSaver() {
  Stop();
}

void TableSaver::Start() {
  if (thread_) return;
  {
    PScopedLock hold(&lock_);
    stopping_ = false;
    dirty_ = true;
  }
  thread_ = std::make_unique<PThread>(nullptr, this, &TableSaver::Run, nullptr);
}

void TableSaver::Stop() {
  if (!thread_) return;
  {
    PScopedLock hold(&lock_);
    stopping_ = true;
    lock_.Broadcast();
  }
  thread_->Join(nullptr);
  thread_.reset();
}

void TableSaver::Changed() {
  PScopedLock hold(&lock_);
  dirty_ = true;
  lock_.Broadcast();
}

void* TableSaver::Run(void*) {
  PScopedLock hold(&lock_);
  for (;;) {
    while (!stopping_ && !dirty_) lock_.Wait();
    if (!dirty_) return nullptr;  // stopping, everything written
    dirty_ = false;
    bool written = false;
    {
      PScopedUnlock release(&lock_);
      written = Write();
    }
    if (written) continue;
    dirty_ = true;
    if (stopping_) return nullptr;  // the error is logged; the stop must not wait
    const timespec retry = AbsoluteTimeout(kRetryMs);
    while (!stopping_ && lock_.TimedWait(retry)) {
    }
  }
}

bool TableSaver::Write() {
  try {
    WriteTableFile(path_, text_());
    if (failing_) LogInfo(u"kivd: table file %hs written again", path_.c_str());
    failing_ = false;
    return true;
  } catch (const std::exception& e) {
    // Logged once per run of failures; a restart until then forgets the
    // latest changes.
    if (!failing_) {
      LogError(
          u"kivd: %hs; the directory keeps serving and tries again every second, but a "
          u"restart now would forget the latest changes (check the data folder's space "
          u"and permissions)",
          e.what());
    }
    failing_ = true;
    return false;
  }
}

}  // namespace kiv::directory
