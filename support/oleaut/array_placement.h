// Where the elements of a large array start in their page. The kernel
// copies socket data with `rep movsb`, which on some processors (AMD Zen
// among them) runs about twenty times slower when the destination lies 1 to
// 31 bytes after the source modulo a page. The bytes of a message sit in
// the kernel from the start of a page, a header of a few dozen bytes ahead
// of an array's elements; elements that start 32 bytes before a page
// boundary are thus copied at full speed both ways, sent or received, for
// any header shorter than 4 KiB. malloc's own large blocks start 16 bytes
// into a page, which is slow after a header of 17 to 47 bytes and for the
// reader of a header under 16 bytes.
#pragma once

#include <cstddef>

namespace kiv::oleaut {

// Blocks of elements from this size on are placed; smaller ones start where
// malloc puts them (the cost of a slow copy grows with its size, the page
// given up per block does not).
constexpr std::size_t kPlacedDataBytes = 64 * 1024;

// Bytes to allocate for `bytes` of elements: a page more for placed blocks.
std::size_t AllocationBytes(std::size_t bytes);
// How far into the allocation at `base` the elements start: 0 for small
// blocks, otherwise the shift that puts them 32 bytes before a page
// boundary.
std::size_t PlacementShift(const void* base, std::size_t bytes);

}  // namespace kiv::oleaut
