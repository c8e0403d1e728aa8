// Conversions between UTF-16 text and 8-bit text, used wherever wide text
// meets host names, user names, directory ids, exception texts and logs.
//
// Both work unit by unit: ToUtf8 encodes every UTF-16 unit on its own into
// one to three bytes (a surrogate half becomes three bytes), and FromUtf8
// accepts one- to three-byte sequences only. Both stop at the first invalid
// or incomplete sequence and keep what was converted before it; neither
// throws except std::bad_alloc.
#pragma once

#include <string>
#include <string_view>

#include "kiv/export.h"

namespace kiv {

KIV_API std::string ToUtf8(std::u16string_view text);
KIV_API std::u16string FromUtf8(std::string_view text);

}  // namespace kiv
