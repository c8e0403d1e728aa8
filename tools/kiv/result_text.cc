#include "tools/kiv/result_text.h"

#include <cstdio>

#include "kiv/result_codes.h"

namespace kiv::cli {

std::string DescribeCode(std::int32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const char* name = ResultName(code);
  if (name == nullptr) return hex;
  return std::string(hex) + " " + name + ": " + ResultMeaning(code);
}

void PutCode(Json& object, std::int32_t code) {
  object["code"] = code;
  const char* name = ResultName(code);
  object["code_name"] = name != nullptr ? Json(name) : Json(nullptr);
}

}  // namespace kiv::cli
