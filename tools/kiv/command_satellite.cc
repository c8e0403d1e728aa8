#include "tools/kiv/command_satellite.h"

#include <ostream>

#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "tools/kiv/result_text.h"

namespace kiv::cli {

bool IsUnreachable(std::int32_t result) {
  return result == KIV_E_RESOLVE_FAILED || result == KIV_E_CONNECT_FAILED ||
         result == KIV_E_SOCKET_FAILED || result == KIV_E_TRANSPORT ||
         result == KIV_RC_RESOLVE_FAILED || result == KIV_RC_CONNECT_FAILED ||
         result == KIV_RC_SOCKET_FAILED;
}

std::optional<int> ConnectCommand(Context& context, std::string_view command,
                                  CommandSatellite& satellite) {
  const std::string directory =
      context.options.directoryHost + ":" + std::to_string(context.options.directoryPort);
  const std::int32_t result =
      satellite.Connect(FromUtf8(directory).c_str(), FromUtf8(context.options.name).c_str());
  if (result == 0) return std::nullopt;
  if (result == KIV_E_TIMED_OUT) {
    context.err << "kiv: " << command << ": the directory at " << directory
                << " did not answer the registration in time (its DirectoryTimeout): "
                << DescribeCode(result) << '\n';
    return kExitTimedOut;
  }
  if (IsUnreachable(result)) {
    context.err << "kiv: " << command << ": no directory answered at " << directory << ": "
                << DescribeCode(result) << '\n';
    return kExitNoDirectory;
  }
  context.err << "kiv: " << command << ": the directory at " << directory
              << " refused the registration of '" << context.options.name
              << "': " << DescribeCode(result) << '\n';
  return kExitFailed;
}

std::int32_t CommandSatellite::AskDirectory(const char16_t* request, const VARIANT& argument,
                                            Variant& answer) {
  constexpr auto kBounded = static_cast<KIVFLAGS>(2);  // at most 30 s
  Variant values;
  Variant statuses;
  const std::int32_t result =
      Request(u"MainRegister", request, argument, *values, kBounded, *statuses);
  if (result != 0) return result;
  if (const std::int32_t status = SingleStatus(*statuses); status != 0) return status;
  try {
    VUtil::GetElement(*values, 0, answer.get());
  } catch (const KivException&) {
    // No answer: `answer` stays empty, and a caller that needs one finds
    // out when it reads it.
  }
  return 0;
}

std::int32_t SingleStatus(const VARIANT& statuses) {
  try {
    return static_cast<std::int32_t>(VUtil::GetSingleRetcode(statuses));
  } catch (const KivException&) {
    return -1;
  }
}

}  // namespace kiv::cli
