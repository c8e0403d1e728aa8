// Key/value pairs inside arrays of variants.
#include <algorithm>
#include <limits>
#include <locale>

#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::vutil::ArrayOf;
using kiv::vutil::Fail;

namespace {

void PutPairOf(VARIANT& array, LONG index, const std::u16string& key, const VARIANT& value) {
  if (array.vt != ArrayOf(VT_VARIANT))
    Fail(u"PutPair: the given variant is not an array of variants");
  kiv::Variant pair = kiv::Variant::Adopt(SafeArrayCreateVector(VT_VARIANT, 0, 2), VT_VARIANT);
  if (pair->parray == nullptr) Fail(u"Could not create safe array in PutPair");
  kiv::Variant keyValue = kiv::Variant::String(key);
  // The element writes copy; const_cast only meets the platform's signature.
  if (!kiv::vutil::WriteElement(*pair, 0, VT_VARIANT, keyValue.get()) ||
      !kiv::vutil::WriteElement(*pair, 1, VT_VARIANT, const_cast<VARIANT*>(&value)) ||
      !kiv::vutil::WriteElement(array, index, VT_VARIANT, pair.get())) {
    Fail(u"PutPair failed");
  }
}

std::u16string Lowered(std::u16string text) {
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
  for (char16_t& unit : text) unit = static_cast<char16_t>(ctype.tolower(wchar_t{unit}));
  return text;
}

// Visits the pairs from index 0 and hands the first one whose key matches
// to onMatch; VT_EMPTY elements are skipped.
template <typename OnMatch>
bool Find(const VARIANT& array, const std::u16string& key, const char16_t* notAnArray,
          bool ignoreCase, OnMatch onMatch) {
  if (array.vt != ArrayOf(VT_VARIANT)) Fail(notAnArray);
  const std::u16string wanted = ignoreCase ? Lowered(key) : key;
  const LONG length = GetArrayLength(array);
  for (LONG i = 0; i < length; ++i) {
    kiv::Variant pair;
    GetElement(array, i, pair.get());
    if (pair.vt() == VT_EMPTY) continue;
    const std::u16string pairKey = GetStringElement(*pair, 0);
    if ((ignoreCase ? Lowered(pairKey) : pairKey) == wanted) {
      onMatch(*pair);
      return true;
    }
  }
  return false;
}

constexpr const char16_t* kFindNotAnArray = u"Variant passed to VUtil::FindPair is not an array";

// Leading blanks and sign, then decimal digits, saturated to int.
int LeadingNumber(const std::u16string& text) {
  auto it = std::find_if(text.begin(), text.end(),
                         [](char16_t c) { return c != u' ' && (c < u'\t' || c > u'\r'); });
  bool negative = false;
  if (it != text.end() && (*it == u'-' || *it == u'+')) negative = *it++ == u'-';
  long long value = 0;
  for (; it != text.end() && *it >= u'0' && *it <= u'9'; ++it) {
    value = std::min<long long>(value * 10 + (*it - u'0'), 1LL << 32);
  }
  value = negative ? -value : value;
  return static_cast<int>(std::clamp<long long>(value, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

}  // namespace

void PutPair(VARIANT& array, LONG index, const std::u16string& key, const std::u16string& value) {
  PutPairOf(array, index, key, *kiv::Variant::String(value));
}

void PutPair(VARIANT& array, LONG index, const std::u16string& key, int value) {
  PutPairOf(array, index, key, *kiv::Variant::I4(value));
}

void PutPair(VARIANT& array, LONG index, const std::u16string& key, const VARIANT& value) {
  PutPairOf(array, index, key, value);
}

void GetPair(const VARIANT& array, LONG index, std::u16string& key, std::u16string& value) {
  if (array.vt != ArrayOf(VT_VARIANT)) Fail(u"Variant passed to VUtil::GetPair is not an array");
  kiv::Variant pair;
  if (!kiv::vutil::ReadElement(array, index, VT_VARIANT, pair.get())) {
    Fail(u"SafeArrayGetElement failed in VUtil::GetPair");
  }
  std::u16string pairKey = GetStringElement(*pair, 0);
  value = GetStringElement(*pair, 1);
  key = std::move(pairKey);
}

bool FindPair(const VARIANT& array, std::u16string key, std::u16string& value) {
  return Find(array, key, kFindNotAnArray, false,
              [&](const VARIANT& pair) { value = GetStringElement(pair, 1); });
}

bool FindPairNoCase(const VARIANT& array, std::u16string key, std::u16string& value) {
  return Find(array, key, kFindNotAnArray, true,
              [&](const VARIANT& pair) { value = GetStringElement(pair, 1); });
}

bool FindPairNoCase(const VARIANT& array, std::u16string key, int& value) {
  return Find(array, key, kFindNotAnArray, true, [&](const VARIANT& pair) {
    kiv::Variant element;
    GetElement(pair, 1, element.get());
    switch (element.vt()) {
      case VT_BSTR:
        value = LeadingNumber(kiv::vutil::TextOf(element->bstrVal));
        break;
      case VT_I4:
        value = element->lVal;
        break;
      case VT_EMPTY:
        value = 0;
        break;
      default:
        Fail(u"the value in the pair is neither a string nor an int");
    }
  });
}

bool FindPairNoCase(const VARIANT& array, std::u16string key, VARIANT& value) {
  return Find(array, key, kFindNotAnArray, true,
              [&](const VARIANT& pair) { GetElement(pair, 1, &value); });
}

}  // namespace VUtil
