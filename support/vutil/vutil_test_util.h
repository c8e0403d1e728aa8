// Value builders shared by the VUtil tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"

namespace kiv::vutil_test {

// Every refusal is a KivInvalidParameterException (code 1) with a message.
#define EXPECT_REFUSED(operation) EXPECT_THROW(operation, KivInvalidParameterException)

inline Variant Array(VARTYPE elementType, ULONG count) {
  Variant v;
  VUtil::CreateArray(*v, elementType, count);
  return v;
}

inline Variant Variants(std::initializer_list<Variant> items) {
  Variant v = Array(VT_VARIANT, static_cast<ULONG>(items.size()));
  LONG i = 0;
  for (const Variant& item : items) VUtil::PutElement(*v, i++, const_cast<VARIANT*>(item.get()));
  return v;
}

inline Variant Scalar(VARTYPE vt, LONGLONG bits) {
  Variant v;
  v->vt = vt;
  v->llVal = bits;
  return v;
}

}  // namespace kiv::vutil_test
