// The directory's table on disk, so that a restarted directory knows its
// satellites at once: a JSON file replaced atomically (a temporary file,
// then a rename), so a crash at any moment leaves the old file or the new
// one. Pure functions, any thread.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "directory/directory_table.h"

namespace kiv::directory {

class TableFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string TableText(const TableImage& image);
// Throws TableFileError naming what is wrong with the text.
TableImage ParseTableText(std::string_view text);

// Writes the text to path + ".tmp", flushes it to the disk and renames it
// over path. Throws TableFileError naming the step and the system's reason.
void WriteTableFile(const std::string& path, const std::string& text);

// The table in path; nullopt when there is none. A file that cannot be
// read or parsed is never trusted: it is renamed path + ".bad-" + the UTC
// time and an ERROR line says why.
std::optional<TableImage> LoadTableFile(const std::string& path);

}  // namespace kiv::directory
