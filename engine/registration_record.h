// The registration record: the 7-element argument of "Register",
// "UnRegister" and "RemoveSatellite", built from the engine's identity and
// a services value. Any thread may build one; the engine is only read.
#pragma once

#include <cstdint>

#include "kiv/oleaut.h"
#include "kiv/value.h"

struct KIV;

namespace kiv::engine {

// Record layout: name, computer name, listening port (VT_UI2), the
// constant 1, satellite id, number of services, the services value.
constexpr int kRecordElements = 7;

// Fills `record`; 0, or 0x2000A when the services array's bound cannot be
// read, or 0x20001 for any other failure (record then left empty).
// services may be null, which reads as VT_EMPTY.
std::int32_t BuildRegistrationRecord(KIV* engine, const VARIANT* services, kiv::Variant& record);

}  // namespace kiv::engine
