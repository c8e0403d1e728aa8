// Reads one JSON document for the kiv programs. Stricter than a plain
// nlohmann parse where the value notation needs it: an integer literal that
// does not fit 64 bits is refused rather than silently made a double, and
// an object with a repeated key is refused. Throws NotationError.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

namespace kiv::cli {

using Json = nlohmann::ordered_json;

// A malformed value text; what() names the problem in one line.
class NotationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Json ReadJson(std::string_view text);

// A short rendering of a JSON value for error messages.
std::string Excerpt(const Json& value);

}  // namespace kiv::cli
