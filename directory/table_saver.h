// Keeps the table file up to date on a thread of its own, so that no
// directory request waits for the disk: every change marks the table dirty
// and the thread writes the newest image (changes made during a write go
// out with the next one). A write that fails is logged as ERROR and tried
// again a second later. The owner's thread starts and stops it; any thread
// may call Changed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/threads/cond.h"
#include "support/threads/thread.h"

namespace kiv::directory {

class TableSaver {
 public:
  // The file's text as of now; runs on the saver's thread.
  using Text = std::function<std::string()>;

  TableSaver(std::string path, Text text);
  ~TableSaver();  // Stop
  TableSaver(const TableSaver&) = delete;
  TableSaver& operator=(const TableSaver&) = delete;

  // Writes once at start. Throws std::exception when the thread cannot start.
  void Start();
  // Writes a change still pending, then ends the thread.
  void Stop();
  void Changed();

 private:
  void* Run(void*);
  // One write; false when it failed (logged).
  bool Write();

  const std::string path_;
  const Text text_;
  PCondMutex lock_;  // guards the flags
  bool dirty_ = false;
  bool stopping_ = false;
  bool failing_ = false;  // touched only by the saver's thread
  std::unique_ptr<PThread> thread_;
};

}  // namespace kiv::directory
