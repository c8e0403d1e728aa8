// New random GUIDs (version 4) as text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hexadecimal. Any thread; the bytes come from getrandom, with a
// clock-and-counter fallback should the kernel refuse, so it never fails.
#pragma once

#include <string>
#include <string_view>

namespace kiv {

std::string NewGuidText();

// True for text of NewGuidText's form (either letter case).
bool IsGuidText(std::string_view text);

}  // namespace kiv
