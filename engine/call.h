// Service-request exchanges with a bound on the answer, beside the exported
// KivCall (which waits as long as the socket time-outs allow). Any thread.
#pragma once

#include <cstdint>

#include "kiv/engine.h"

namespace kiv::engine {

// KivCall whose reply must arrive within answerWithinMs of sending (0: no
// bound); a reply that does not is KIV_E_TIMED_OUT and its connection is
// dropped, so a hung peer that still accepts connections cannot hold the
// caller.
std::int32_t CallWithin(KIV* engine, const char* host, std::uint16_t port, const char* requestName,
                        VARIANT* argument, VARIANT* value, std::int32_t* returnCode,
                        std::int32_t answerWithinMs);

// One request to the engine's directory (the address of its registration,
// or of UseDirectory), bounded by the directory time-out.
std::int32_t CallDirectory(KIV* engine, const char* requestName, VARIANT* argument, VARIANT* value,
                           std::int32_t* returnCode);

// The directory time-out in milliseconds: "DirectoryTimeout" (a DWORD of
// seconds under Software\ZIB Networks\Zib) when the store sets 1 to 3600,
// else 10 seconds. Read once per engine.
std::int32_t ConfiguredDirectoryTimeoutMs();

}  // namespace kiv::engine
