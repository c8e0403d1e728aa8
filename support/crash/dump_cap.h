// The cap on crash dumps: a handler that faults again and again must not
// fill the disk with dumps. A crash is "{GUID}.dmp" plus the reporter's
// "{GUID}.txt" beside it; the newest crashes stay, older ones go. Any thread;
// failures to read or remove leave files in place and are not reported.
#pragma once

#include <cstdint>
#include <string>

namespace kiv {

constexpr std::uint32_t kDefaultMaxCrashDumps = 20;

// The DWORD "MaxCrashDumps" under Software\ZIB Networks\Zib, read at each
// call; kDefaultMaxCrashDumps when unset. 0 means no cap.
std::uint32_t ConfiguredMaxCrashDumps();

// Leaves the newest `keep` crashes in folder (dated by their newest file;
// the crash named keepId counts as newest whatever its date) and removes
// the files of the others. Files of other names are never touched; keep 0
// removes nothing. Returns how many crashes were removed.
std::size_t PruneCrashDumps(const std::string& folder, std::uint32_t keep,
                            const std::string& keepId);

}  // namespace kiv
