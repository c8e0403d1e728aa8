// How the kiv program shows a result code: to a person as the hex code, the
// constant's name and its meaning; in JSON as the number and the name.
#pragma once

#include <cstdint>
#include <string>

#include "tools/kiv/json_reader.h"

namespace kiv::cli {

// "0x80068003 KIV_E_PEER_NOT_ALLOWED: server does not serve ..."; a code
// the engine does not define (a handler's own) prints as hex alone.
std::string DescribeCode(std::int32_t code);

// Sets object["code"] to the number and object["code_name"] to the name,
// or null for a code the engine does not define.
void PutCode(Json& object, std::int32_t code);

}  // namespace kiv::cli
