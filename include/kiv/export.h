// Symbol visibility for libkiv. The library is built with hidden visibility;
// only declarations marked KIV_API are part of its binary interface.
#pragma once

#if defined(KIV_BUILDING_LIBRARY)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif
