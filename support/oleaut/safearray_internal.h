// Array creation for code that fills a data block itself (the wire decoder
// grows a buffer while bytes arrive and hands it over without a copy).
// Data blocks of arrays are allocated with std::malloc and freed with
// std::free; the descriptor's own memory is private to support/oleaut.
#pragma once

#include "kiv/oleaut.h"

// Creates the descriptor for an array as SafeArrayCreate would and makes it
// the owner of data, a std::malloc block of exactly element size times
// element count bytes (null is accepted when that product is 0). The block's
// elements must be valid values of vt (zero bytes are). On failure returns
// null and leaves data to the caller.
SAFEARRAY* SafeArrayCreateAdopting(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound,
                                   void* data);
