// Where kivd keeps its table and its log file. Decided once at start, before
// the logger starts, and published as KIV_DATA_DIR so that the library's
// error log and crash dumps land beside the table. Reads and may set the
// process's environment: call it from main's thread before others start.
#pragma once

#include <string>

namespace kiv::kivd {

// An explicit KIV_DATA_DIR stays. Under systemd, $STATE_DIRECTORY becomes
// the data folder. Otherwise the default /var/lib is kept when kivd can
// write its folder there, else a per-user folder ($XDG_STATE_HOME/kiv, else
// ~/.local/state/kiv) is used. Returns the one warning line to show for
// that fallback, "" when there is none.
std::string ChooseDataFolder();

// The log file for a bare --log-file: $LOGS_DIRECTORY/kiv.log under
// systemd, else "" (the library's default file in the data folder).
std::string DefaultLogFile();

}  // namespace kiv::kivd
