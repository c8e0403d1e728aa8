#include "support/crash/dump_writer.h"

#include <fstream>

#include "kiv/utf8.h"
#include "support/crash/dump_file.h"
#include "support/crash/guid.h"

namespace kiv {

DumpWriter::DumpWriter(std::u16string dumpFolder, std::u16string application, Callback callback,
                       void* context)
    : dumpFolder_(std::move(dumpFolder)),
      application_(std::move(application)),
      callback_(callback),
      context_(context) {}

bool DumpWriter::WriteMinidumpForException(const FaultRecord* exceptionInfo) {
  const std::string guid = NewGuidText();
  bool succeeded = false;
  if (exceptionInfo != nullptr) {
    const std::string text = FormatDump(ToUtf8(application_), *exceptionInfo, CurrentModules());
    std::ofstream dump(ToUtf8(dumpFolder_) + guid + ".dmp", std::ios::binary | std::ios::trunc);
    dump << text;
    dump.flush();
    succeeded = static_cast<bool>(dump);
  }
  if (callback_ == nullptr) return succeeded;
  return callback_(dumpFolder_, FromUtf8(guid), context_, exceptionInfo, succeeded);
}

}  // namespace kiv
