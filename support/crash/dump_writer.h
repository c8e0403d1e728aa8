// The dump writer's exception handler: on request it writes our dump file for
// a fault into its folder, named by a new GUID plus ".dmp", and then calls
// back with the folder, the GUID name, the context, the fault and whether the
// write succeeded. Writes only when asked; one thread uses an object at a time.
#pragma once

#include <string>

#include "support/crash/fault_guard.h"

namespace kiv {

class DumpWriter {
 public:
  // Returns the writer's success flag, possibly changed.
  using Callback = bool (*)(const std::u16string& dumpFolder, const std::u16string& minidumpId,
                            void* context, const FaultRecord* exceptionInfo, bool succeeded);

  // dumpFolder ends in '/'. application is written into each dump.
  DumpWriter(std::u16string dumpFolder, std::u16string application, Callback callback,
             void* context);

  // Writes the dump for the fault now; the callback runs before it returns.
  // Returns the callback's answer, or the write's success without one.
  bool WriteMinidumpForException(const FaultRecord* exceptionInfo);

 private:
  const std::u16string dumpFolder_;
  const std::u16string application_;
  const Callback callback_;
  void* const context_;
};

}  // namespace kiv
