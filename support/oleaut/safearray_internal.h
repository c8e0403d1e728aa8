// Array creation for code that fills a data block itself (the wire decoder
// grows a buffer while bytes arrive and hands it over without a copy).
// Data blocks of arrays are allocated with std::malloc, large ones with a
// page more so that the elements can start where the kernel copies them
// fast (support/oleaut/array_placement.h); the descriptor remembers where
// they start and its own memory is private to support/oleaut.
#pragma once

#include <cstddef>

#include "kiv/oleaut.h"

// Creates the descriptor for an array as SafeArrayCreate would and makes it
// the owner of block, a std::malloc block whose elements start `shift`
// bytes in and take exactly element size times element count bytes (null is
// accepted when that product is 0). The elements must be valid values of vt
// (zero bytes are). On failure returns null and leaves block to the caller.
SAFEARRAY* SafeArrayCreateAdopting(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound,
                                   void* block, std::size_t shift = 0);
