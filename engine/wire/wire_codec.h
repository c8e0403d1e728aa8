// The engine's wire encoding: big-endian integers with no padding, strings
// as a u32 unit count followed by big-endian UTF-16 units, and VARIANTs as a
// u16 type tag followed by a payload that depends on the tag. Arrays send
// their bounds last dimension first and their elements from the highest
// linear index down, except VT_UI1 arrays, which go as one block in order.
//
// Every writer and reader returns true on success and never throws. After a
// failure the stream position is undefined: the caller abandons the
// connection. A failed ReadVariant leaves VT_EMPTY and no allocation.
//
// Decoding trusts no announced size: buffers grow as bytes arrive, so a peer
// that announces gigabytes and sends little costs little.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/wire/byte_io.h"
#include "kiv/oleaut.h"

namespace kiv {

// How many arrays may enclose one another (a top-level array is one level).
// Deeper values are refused both ways, so that a hostile peer cannot
// exhaust the reading thread's stack.
constexpr int kMaxNesting = 128;
constexpr std::uint32_t kMaxDimensions = 10;
// Longest string a reader accepts, in UTF-16 units.
constexpr std::uint32_t kMaxStringUnits = 0x55555555;

bool WriteU8(ByteSink& out, std::uint8_t value);
bool WriteU16(ByteSink& out, std::uint16_t value);
bool WriteU32(ByteSink& out, std::uint32_t value);
bool WriteU64(ByteSink& out, std::uint64_t value);
bool WriteBstr(ByteSink& out, BSTR text);
bool WriteVariant(ByteSink& out, const VARIANT& value);
bool WriteSafeArray(ByteSink& out, SAFEARRAY* array, VARTYPE elementType);

bool ReadU8(ByteSource& in, std::uint8_t& value);
bool ReadU16(ByteSource& in, std::uint16_t& value);
bool ReadU32(ByteSource& in, std::uint32_t& value);
bool ReadU64(ByteSource& in, std::uint64_t& value);
bool ReadBytes(ByteSource& in, void* buffer, std::size_t n);
// Always yields an allocated string (empty for a zero count); on failure
// *text is left untouched.
bool ReadBstr(ByteSource& in, BSTR* text);
// Clears *value first; on failure *value is VT_EMPTY.
bool ReadVariant(ByteSource& in, VARIANT* value);
// On failure *array is null.
bool ReadSafeArray(ByteSource& in, SAFEARRAY** array, VARTYPE elementType);

// The readers over a connected socket, as the engine calls them.
bool ReadU8(SOCKET socket, std::uint8_t& value);
bool ReadU16(SOCKET socket, std::uint16_t& value);
bool ReadU32(SOCKET socket, std::uint32_t& value);
bool ReadU64(SOCKET socket, std::uint64_t& value);
bool ReadBytes(SOCKET socket, void* buffer, std::size_t n);
bool ReadBstr(SOCKET socket, BSTR* text);
bool ReadVariant(SOCKET socket, VARIANT* value);
bool ReadSafeArray(SOCKET socket, SAFEARRAY** array, VARTYPE elementType);

// Whether the wire carries values of this type word (the by-reference bit
// aside; VT_VECTOR and VT_RESERVED never describe a valid VARIANT).
bool IsCarriedType(VARTYPE vt);

}  // namespace kiv
