#include "tools/kiv/value_notation.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/wire/wire_codec.h"
#include "engine/wire/wire_types.h"
#include "support/text/standard_utf8.h"
#include "tools/kiv/hex.h"
#include "tools/kiv/ole_date.h"

namespace kiv::cli {
namespace {

constexpr std::uint64_t kQuietNan64 = 0x7FF8000000000000;
constexpr std::uint32_t kQuietNan32 = 0x7FC00000;
// JSON readers keep integers exact up to 2^53; i8/ui8 beyond print as text.
constexpr std::int64_t kLargestExact = std::int64_t{1} << 53;

struct TypeName {
  std::string_view name;
  VARTYPE vt;
};

// Every type the notation names. All but null may be array elements; all
// but variant may be scalars.
constexpr TypeName kTypeNames[] = {
    {"i1", VT_I1},     {"ui1", VT_UI1},   {"i2", VT_I2},           {"ui2", VT_UI2},
    {"i4", VT_I4},     {"ui4", VT_UI4},   {"i8", VT_I8},           {"ui8", VT_UI8},
    {"r4", VT_R4},     {"r8", VT_R8},     {"bool", VT_BOOL},       {"bstr", VT_BSTR},
    {"date", VT_DATE}, {"null", VT_NULL}, {"variant", VT_VARIANT},
};

std::optional<VARTYPE> TypeNamed(std::string_view name) {
  for (const TypeName& type : kTypeNames) {
    if (type.name == name) return type.vt;
  }
  return std::nullopt;
}

// Empty for a type the notation does not name.
std::string_view NameOf(VARTYPE vt) {
  for (const TypeName& type : kTypeNames) {
    if (type.vt == vt) return type.name;
  }
  return {};
}

[[noreturn]] void Fail(std::string message) {
  throw NotationError(std::move(message));
}

std::string Named(std::string_view type, std::string_view rest) {
  return std::string(type) + std::string(rest);
}

std::string NotCarried(VARTYPE vt) {
  return "type 0x" +
         FormatHex({static_cast<std::uint8_t>(vt >> 8), static_cast<std::uint8_t>(vt)}, "") +
         " is not carried";
}

std::string NestingTooDeep() {
  return "arrays nest deeper than " + std::to_string(kMaxNesting) + " levels";
}

template <typename T>
void Put(void* slot, T value) {
  std::memcpy(slot, &value, sizeof value);
}

template <typename T>
T Get(const void* slot) {
  T value;
  std::memcpy(&value, slot, sizeof value);
  return value;
}

// ---- Reading the items of each type ------------------------------------

template <typename T>
T DecimalFrom(const Json& x, std::string_view type) {
  const std::string& text = x.get_ref<const std::string&>();
  const char* first = text.data();
  const char* last = first + text.size();
  const char* digits = text.starts_with('-') ? first + 1 : first;
  if (digits == last || !std::all_of(digits, last, [](char c) { return c >= '0' && c <= '9'; })) {
    Fail(Named(type, " takes an integer or a decimal string, got ") + Excerpt(x));
  }
  if (digits != first) {
    std::int64_t value;
    if (std::from_chars(first, last, value).ec == std::errc() && std::in_range<T>(value)) {
      return static_cast<T>(value);
    }
  } else {
    std::uint64_t value;
    if (std::from_chars(first, last, value).ec == std::errc() && std::in_range<T>(value)) {
      return static_cast<T>(value);
    }
  }
  Fail(Named(type, " out of range: ") + Excerpt(x));
}

template <typename T>
T IntegerFrom(const Json& x, std::string_view type) {
  if (x.is_number_unsigned()) {
    const auto value = x.get<std::uint64_t>();
    if (std::in_range<T>(value)) return static_cast<T>(value);
  } else if (x.is_number_integer()) {
    const auto value = x.get<std::int64_t>();
    if (std::in_range<T>(value)) return static_cast<T>(value);
  } else if (sizeof(T) == 8 && x.is_string()) {
    return DecimalFrom<T>(x, type);
  } else {
    Fail(Named(type, sizeof(T) == 8 ? " takes an integer or a decimal string, got "
                                    : " takes an integer, got ") +
         Excerpt(x));
  }
  Fail(Named(type, " out of range: ") + Excerpt(x));
}

// "0x" and exactly the hex digits of Bits.
template <typename Bits>
std::optional<Bits> BitsFrom(std::string_view text) {
  if (text.size() != 2 + 2 * sizeof(Bits) || !text.starts_with("0x")) return std::nullopt;
  Bits bits{};
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data() + 2, last, bits, 16);
  if (error != std::errc() || end != last) return std::nullopt;
  return bits;
}

template <typename Bits>
std::string HexBits(Bits bits) {
  std::vector<std::uint8_t> bytes;
  for (int shift = 8 * sizeof(Bits) - 8; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  return "0x" + FormatHex(bytes, "");
}

// r8 and date: a number or one of the texts for the bits a number cannot
// show; a date also takes ISO 8601 UTC text.
double DoubleFrom(const Json& x, VARTYPE vt) {
  if (x.is_number()) return x.get<double>();
  if (x.is_string()) {
    const std::string& text = x.get_ref<const std::string&>();
    if (text == "inf") return std::numeric_limits<double>::infinity();
    if (text == "-inf") return -std::numeric_limits<double>::infinity();
    if (text == "nan") return std::bit_cast<double>(kQuietNan64);
    if (const auto bits = BitsFrom<std::uint64_t>(text)) return std::bit_cast<double>(*bits);
    if (vt == VT_DATE) {
      if (const auto date = DateFromIso8601(text)) return *date;
    }
  }
  if (vt == VT_DATE) {
    Fail(
        "date takes a DATE number, YYYY-MM-DDThh:mm:ss[.fff]Z, \"inf\", \"-inf\", \"nan\" or "
        "\"0x\" and 16 hex digits, got " +
        Excerpt(x));
  }
  Fail("r8 takes a number, \"inf\", \"-inf\", \"nan\" or \"0x\" and 16 hex digits, got " +
       Excerpt(x));
}

Json DoubleJson(double value) {
  if (std::isfinite(value)) return value;
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return bits == kQuietNan64 ? "nan" : HexBits(bits);
}

float FloatFrom(const Json& x) {
  if (x.is_number()) {
    const double value = x.get<double>();
    // Up to half a unit above the largest float still rounds to it, as the
    // shortest printing of that float (3.4028235e+38) does.
    constexpr double kFirstBeyondFloat = 0x1.ffffffp127;
    if (std::fabs(value) >= kFirstBeyondFloat) Fail("r4 out of range: " + Excerpt(x));
    return static_cast<float>(value);
  }
  if (x.is_string()) {
    const std::string& text = x.get_ref<const std::string&>();
    if (text == "inf") return std::numeric_limits<float>::infinity();
    if (text == "-inf") return -std::numeric_limits<float>::infinity();
    if (text == "nan") return std::bit_cast<float>(kQuietNan32);
    if (const auto bits = BitsFrom<std::uint32_t>(text)) return std::bit_cast<float>(*bits);
  }
  Fail("r4 takes a number, \"inf\", \"-inf\", \"nan\" or \"0x\" and 8 hex digits, got " +
       Excerpt(x));
}

Json FloatJson(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (std::isnan(value)) return bits == kQuietNan32 ? Json("nan") : Json(HexBits(bits));
  // Print the shortest decimal that names this float, held as the double
  // nearest to it. Reading goes decimal -> double -> float, which rounds
  // twice; where that would miss, the exact double of the float is printed.
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  double shortest = 0;
  std::from_chars(text, written.ptr, shortest);
  if (std::bit_cast<std::uint32_t>(static_cast<float>(shortest)) != bits) shortest = value;
  return shortest;
}

template <typename T>
Json IntegerJson(T value) {
  if (std::cmp_less_equal(value, kLargestExact) && std::cmp_greater_equal(value, -kLargestExact)) {
    return value;
  }
  return std::to_string(value);
}

VARIANT_BOOL BoolFrom(const Json& x) {
  if (x.is_boolean()) return x.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
  if (x.is_number_integer()) return std::bit_cast<VARIANT_BOOL>(IntegerFrom<USHORT>(x, "bool"));
  Fail("bool takes true, false or the raw bits 0..65535, got " + Excerpt(x));
}

Json BoolJson(VARIANT_BOOL value) {
  if (value == VARIANT_TRUE) return true;
  if (value == VARIANT_FALSE) return false;
  return std::bit_cast<USHORT>(value);
}

Bstr BstrFrom(const Json& x) {
  if (x.is_string()) {
    const auto units = Utf8ToUtf16(x.get_ref<const std::string&>());
    if (!units) Fail("string is not UTF-8: " + Excerpt(x));
    return Bstr(*units);
  }
  if (x.is_array()) {
    std::u16string units;
    for (const Json& unit : x) units.push_back(IntegerFrom<std::uint16_t>(unit, "bstr unit"));
    return Bstr(units);
  }
  Fail("bstr takes a string or an array of UTF-16 units, got " + Excerpt(x));
}

// A string, or its units when it holds a surrogate half without partner.
Json BstrJson(BSTR text) {
  const std::u16string_view units(text != nullptr ? text : u"", SysStringLen(text));
  if (auto utf8 = Utf16ToUtf8(units)) return std::move(*utf8);
  Json array = Json::array();
  for (const char16_t unit : units) array.push_back(static_cast<unsigned>(unit));
  return array;
}

// ---- Values --------------------------------------------------------------

Variant FromJson(const Json& json, int depth);
Json ToJson(const VARIANT& value, int depth, DateForm dates);

// Stores item x as an element of type vt at slot: an element in an array's
// data block or the value field of a VARIANT. Stores nothing when it throws.
void StoreItem(VARTYPE vt, const Json& x, void* slot, int depth) {
  switch (vt) {
    case VT_I1:
      return Put(slot, IntegerFrom<std::int8_t>(x, "i1"));
    case VT_UI1:
      return Put(slot, IntegerFrom<std::uint8_t>(x, "ui1"));
    case VT_I2:
      return Put(slot, IntegerFrom<std::int16_t>(x, "i2"));
    case VT_UI2:
      return Put(slot, IntegerFrom<std::uint16_t>(x, "ui2"));
    case VT_I4:
      return Put(slot, IntegerFrom<std::int32_t>(x, "i4"));
    case VT_UI4:
      return Put(slot, IntegerFrom<std::uint32_t>(x, "ui4"));
    case VT_I8:
      return Put(slot, IntegerFrom<std::int64_t>(x, "i8"));
    case VT_UI8:
      return Put(slot, IntegerFrom<std::uint64_t>(x, "ui8"));
    case VT_R4:
      return Put(slot, FloatFrom(x));
    case VT_R8:
    case VT_DATE:
      return Put(slot, DoubleFrom(x, vt));
    case VT_BOOL:
      return Put(slot, BoolFrom(x));
    case VT_BSTR:
      return Put(slot, BstrFrom(x).Detach());
    case VT_VARIANT:
      return Put(slot, FromJson(x, depth).Detach());
    default:
      Fail(NotCarried(vt));
  }
}

Json LoadItem(VARTYPE vt, const void* slot, int depth, DateForm dates) {
  switch (vt) {
    case VT_I1:
      return static_cast<int>(Get<std::int8_t>(slot));
    case VT_UI1:
      return static_cast<unsigned>(Get<std::uint8_t>(slot));
    case VT_I2:
      return Get<std::int16_t>(slot);
    case VT_UI2:
      return Get<std::uint16_t>(slot);
    case VT_I4:
      return Get<std::int32_t>(slot);
    case VT_UI4:
      return Get<std::uint32_t>(slot);
    case VT_I8:
      return IntegerJson(Get<std::int64_t>(slot));
    case VT_UI8:
      return IntegerJson(Get<std::uint64_t>(slot));
    case VT_R4:
      return FloatJson(Get<float>(slot));
    case VT_R8:
      return DoubleJson(Get<double>(slot));
    case VT_DATE:
      if (dates == DateForm::kIsoText) {
        if (auto iso = DateToIso8601(Get<double>(slot))) return *iso;
      }
      return DoubleJson(Get<double>(slot));
    case VT_BOOL:
      return BoolJson(Get<VARIANT_BOOL>(slot));
    case VT_BSTR:
      return BstrJson(Get<BSTR>(slot));
    case VT_VARIANT:
      return ToJson(*static_cast<const VARIANT*>(slot), depth, dates);
    default:
      Fail(NotCarried(vt));
  }
}

Json Form(std::string_view name, Json x) {
  Json form = Json::object();
  form[std::string(name)] = std::move(x);
  return form;
}

VARTYPE ElementTypeNamed(std::string_view name) {
  const auto vt = TypeNamed(name);
  if (vt == VT_NULL || name == "empty") Fail(Named(name, " is not an array element type"));
  if (!vt) Fail(Named("unknown type name: ", name));
  return *vt;
}

// bounds lists dimension 1 first, as SafeArrayCreate takes it; the caller
// has checked that items holds exactly the elements the bounds describe.
Variant ArrayFrom(VARTYPE vt, const std::vector<SAFEARRAYBOUND>& bounds, const Json& items,
                  int depth) {
  if (depth >= kMaxNesting) Fail(NestingTooDeep());
  SafeArrayPtr array(SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data()));
  if (!array) Fail("cannot create an array of " + std::to_string(items.size()) + " elements");
  if (!items.empty()) {
    const SafeArrayAccess access(array.get());
    if (!access.ok()) Fail("cannot fill the array");
    auto* slot = access.as<std::byte>();
    for (const Json& item : items) {
      StoreItem(vt, item, slot, depth + 1);
      slot += wire::InMemoryElementSize(vt);
    }
  }
  return Variant::Adopt(array.release(), vt);
}

ULONG CountOf(const Json& items) {
  if (items.size() > std::numeric_limits<ULONG>::max()) Fail("element count overflow");
  return static_cast<ULONG>(items.size());
}

Variant HexFrom(const Json& x, int depth) {
  if (depth >= kMaxNesting) Fail(NestingTooDeep());
  const auto bytes = x.is_string() ? ParseHex(x.get_ref<const std::string&>()) : std::nullopt;
  if (!bytes) Fail("hex takes a string of hex digits, got " + Excerpt(x));
  SafeArrayPtr array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes->size())));
  if (!array) Fail("cannot create an array of " + std::to_string(bytes->size()) + " bytes");
  if (!bytes->empty()) {
    const SafeArrayAccess access(array.get());
    if (!access.ok()) Fail("cannot fill the array");
    std::memcpy(access.data(), bytes->data(), bytes->size());
  }
  return Variant::Adopt(array.release(), VT_UI1);
}

// {"array": T, "bounds": [[lb, n], ...], "data": [...]}
Variant ArrayFormFrom(const Json& form, int depth) {
  for (const auto& item : form.items()) {
    if (item.key() != "array" && item.key() != "bounds" && item.key() != "data") {
      Fail("unknown key in an array form: \"" + item.key() + "\"");
    }
  }
  if (!form.contains("bounds") || !form.contains("data")) {
    Fail("an array form needs \"array\", \"bounds\" and \"data\"");
  }
  const Json& type = form["array"];
  if (!type.is_string()) Fail("array takes an element type name, got " + Excerpt(type));
  const VARTYPE vt = ElementTypeNamed(type.get_ref<const std::string&>());

  const Json& boundList = form["bounds"];
  if (!boundList.is_array())
    Fail("bounds takes [[lower bound, count], ...], got " + Excerpt(boundList));
  if (boundList.empty()) Fail("bounds lists no dimension");
  if (boundList.size() > kMaxDimensions) {
    Fail("more than " + std::to_string(kMaxDimensions) +
         " dimensions: " + std::to_string(boundList.size()));
  }
  std::vector<SAFEARRAYBOUND> bounds;
  for (const Json& pair : boundList) {
    if (!pair.is_array() || pair.size() != 2) {
      Fail("bounds takes [lower bound, count] pairs, got " + Excerpt(pair));
    }
    const auto lower = IntegerFrom<LONG>(pair[0], "lower bound");
    const auto count = IntegerFrom<ULONG>(pair[1], "element count");
    if (count != 0 && lower + std::int64_t{count} - 1 > std::numeric_limits<LONG>::max()) {
      Fail("upper bound out of range: " + Excerpt(pair));
    }
    bounds.push_back({count, lower});
  }
  // The same test as the wire's, in its order (last dimension first), so
  // that exactly the arrays the wire refuses are refused here.
  std::uint64_t total = 1;
  for (auto bound = bounds.rbegin(); bound != bounds.rend(); ++bound) {
    if (total == 0) break;
    if (std::numeric_limits<ULONG>::max() / total < bound->cElements) {
      Fail("element count overflow: the counts multiply past 4294967295");
    }
    total *= bound->cElements;
  }
  const Json& data = form["data"];
  if (!data.is_array()) Fail("data takes an array, got " + Excerpt(data));
  if (data.size() != total) {
    Fail("bounds give " + std::to_string(total) + " elements but data has " +
         std::to_string(data.size()));
  }
  return ArrayFrom(vt, bounds, data, depth);
}

Variant ScalarFrom(VARTYPE vt, const Json& x) {
  if (vt == VT_VARIANT) Fail("variant is an array element type only");
  if (vt == VT_NULL) {
    if (!x.is_null()) Fail("null takes null, got " + Excerpt(x));
    return Variant::Null();
  }
  Variant value;
  StoreItem(vt, x, &value->llVal, 0);
  value->vt = vt;
  return value;
}

Variant ObjectFrom(const Json& object, int depth) {
  if (object.contains("array")) return ArrayFormFrom(object, depth);
  if (object.size() != 1) Fail("an object form holds one type name, got " + Excerpt(object));
  const std::string& name = object.begin().key();
  const Json& x = object.begin().value();
  if (name == "empty") {
    if (!x.is_null()) Fail("empty takes null, got " + Excerpt(x));
    return Variant();
  }
  if (name == "hex") return HexFrom(x, depth);
  if (name.ends_with("[]")) {
    const VARTYPE vt = ElementTypeNamed(std::string_view(name).substr(0, name.size() - 2));
    if (!x.is_array()) Fail(name + " takes an array, got " + Excerpt(x));
    return ArrayFrom(vt, {{CountOf(x), 0}}, x, depth);
  }
  const auto vt = TypeNamed(name);
  if (!vt) Fail("unknown type name: " + name);
  return ScalarFrom(*vt, x);
}

Variant FromJson(const Json& json, int depth) {
  switch (json.type()) {
    case Json::value_t::null:
      return Variant::Null();
    case Json::value_t::boolean:
      return Variant::Bool(json.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      if (json.is_number_unsigned() &&
          json.get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
        Fail("integer out of range: " + Excerpt(json));
      }
      if (std::in_range<LONG>(json.get<std::int64_t>())) return Variant::I4(json.get<LONG>());
      return Variant::I8(json.get<std::int64_t>());
    case Json::value_t::number_float:
      return Variant::R8(json.get<double>());
    case Json::value_t::string:
      return ScalarFrom(VT_BSTR, json);
    case Json::value_t::array:
      return ArrayFrom(VT_VARIANT, {{CountOf(json), 0}}, json, depth);
    case Json::value_t::object:
      return ObjectFrom(json, depth);
    default:
      Fail("not a value: " + Excerpt(json));
  }
}

Json ArrayToJson(SAFEARRAY* array, VARTYPE vt, int depth, DateForm dates) {
  if (array == nullptr) Fail("array value without an array");
  if (depth >= kMaxNesting) Fail(NestingTooDeep());
  const std::string_view name = NameOf(vt);
  if (name.empty() || vt == VT_NULL) Fail(NotCarried(VT_ARRAY | vt));
  if (SafeArrayGetElemsize(array) != wire::InMemoryElementSize(vt)) {
    Fail("array elements are not of its type " + std::string(name));
  }
  const UINT dims = array->cDims;
  if (dims == 0 || dims > kMaxDimensions) Fail("array of " + std::to_string(dims) + " dimensions");

  Json bounds = Json::array();
  std::uint64_t total = 1;
  for (UINT k = dims; k >= 1; --k) {  // rgsabound[0] is dimension cDims
    const SAFEARRAYBOUND& bound = array->rgsabound[dims - k];
    bounds.push_back(Json::array({bound.lLbound, bound.cElements}));
    if (total != 0 && std::numeric_limits<ULONG>::max() / total < bound.cElements) {
      Fail("element count overflow: the counts multiply past 4294967295");
    }
    total *= bound.cElements;
  }
  std::reverse(bounds.begin(), bounds.end());

  const bool vector = dims == 1 && array->rgsabound[0].lLbound == 0;
  Json items = Json::array();
  std::vector<std::uint8_t> bytes;
  if (total != 0) {
    const SafeArrayAccess access(array);
    if (!access.ok()) Fail("cannot read the array");
    const auto* slot = access.as<const std::byte>();
    if (vector && vt == VT_UI1) {
      bytes.assign(access.as<const std::uint8_t>(), access.as<const std::uint8_t>() + total);
    } else {
      for (std::uint64_t i = 0; i < total; ++i, slot += wire::InMemoryElementSize(vt)) {
        items.push_back(LoadItem(vt, slot, depth + 1, dates));
      }
    }
  }
  if (vector) {
    if (vt == VT_VARIANT) return items;
    if (vt == VT_UI1) return Form("hex", FormatHex(bytes, ""));
    return Form(std::string(name) + "[]", std::move(items));
  }
  Json form = Json::object();
  form["array"] = name;
  form["bounds"] = std::move(bounds);
  form["data"] = std::move(items);
  return form;
}

Json ToJson(const VARIANT& value, int depth, DateForm dates) {
  const VARTYPE vt = value.vt;
  if ((vt & VT_ARRAY) != 0) {
    if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0) Fail(NotCarried(vt));
    return ArrayToJson(value.parray, vt & VT_TYPEMASK, depth, dates);
  }
  switch (vt) {
    case VT_EMPTY:
      return Form("empty", nullptr);
    case VT_NULL:
      return nullptr;
    case VT_I4:
      return value.lVal;
    case VT_R8:
      if (std::isfinite(value.dblVal)) return value.dblVal;
      break;
    case VT_BSTR:
      if (Json text = BstrJson(value.bstrVal); text.is_string()) return text;
      break;
    case VT_BOOL:
      if (value.boolVal == VARIANT_TRUE || value.boolVal == VARIANT_FALSE) {
        return value.boolVal == VARIANT_TRUE;
      }
      break;
    default:
      break;
  }
  const std::string_view name = NameOf(vt);
  if (name.empty() || vt == VT_VARIANT) Fail(NotCarried(vt));
  return Form(name, LoadItem(vt, &value.llVal, depth, dates));
}

}  // namespace

Variant ValueFromJson(const Json& json) {
  return FromJson(json, 0);
}

Json ValueToJson(const VARIANT& value, DateForm dates) {
  return ToJson(value, 0, dates);
}

Variant ParseValue(std::string_view text) {
  return ValueFromJson(ReadJson(text));
}

std::string FormatValue(const VARIANT& value, DateForm dates) {
  return ValueToJson(value, dates).dump();
}

}  // namespace kiv::cli
