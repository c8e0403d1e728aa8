// Result codes of the automation object and its sink. They share the
// engine's 0x0002xxxx range but mean what is said here, so they carry names
// of their own instead of reusing the engine's constants.
#pragma once

#include <cstdint>

namespace kiv::com {

constexpr std::int32_t KIVIN_RC_ELEMENT_FAILED = 0x00020001;   // array element read or write
constexpr std::int32_t KIVIN_RC_TERMINATED = 0x00020003;       // the object was terminated
constexpr std::int32_t KIVIN_RC_NOT_AN_ARRAY = 0x0002000A;     // no array, or index out of range
constexpr std::int32_t KIVIN_RC_NO_ARRAY = 0x00020014;         // the array could not be created
constexpr std::int32_t KIVIN_RC_HANDLER_CRASHED = 0x0002001A;  // an event handler faulted
constexpr std::int32_t KIVIN_RC_BAD_MODE = 87;                 // RegisterMode outside 0..2
constexpr std::int32_t KIVIN_RC_NOT_SUPPORTED = -1;            // AddUser, RemoveUser

}  // namespace kiv::com
