// DumpVariant: the XML-like text of a value, one "<var>" line per scalar.
// The line formats are fixed; every line ends in CR LF.
#include <ctime>
#include <type_traits>

#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/text/wide_format.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::WideFormat;
using kiv::vutil::ArrayOf;

namespace {

// The dump shows a date as "YYYY-MM-DD hh:mm:ss" in UTC, the usual reading
// of a timestamp; the year takes as many digits as it needs.
std::u16string DateText(DATE date) {
  const std::time_t seconds = DateToTime(date);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) {
    kiv::vutil::Fail(u"Date out of range in VUtil::DumpVariant");
  }
  return WideFormat(u"%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                    parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

// An array of T whose elements are listed one line each, at the array's
// own indent, each element read as Element and passed to the format as Arg.
template <typename Element, typename Arg = Element>
void DumpElements(std::u16string& out, const VARIANT& v, const char16_t* indent,
                  const char16_t* open, const char16_t* line) {
  const LONG count = GetArrayLength(v);
  out += WideFormat(open, indent, count);
  for (LONG i = 0; i < count; ++i) {
    Element element{};
    GetElement(v, i, &element);
    if constexpr (std::is_same_v<Element, std::u16string>) {
      out += WideFormat(line, indent, element.c_str());
    } else {
      out += WideFormat(line, indent, static_cast<Arg>(element));
    }
  }
  out += WideFormat(u"%s</var>\r\n", indent);
}

void DumpCount(std::u16string& out, const VARIANT& v, const char16_t* indent,
               const char16_t* format) {
  out += WideFormat(format, indent, GetArrayLength(v));
}

void DumpValue(std::u16string& out, const VARIANT& v, int depth);

// Appends the lines of v; may throw from the middle, leaving the lines
// written so far.
void DumpLines(std::u16string& out, const VARIANT& v, int depth, const char16_t* indent) {
  switch (v.vt) {
    case VT_EMPTY:
      out += WideFormat(u"%s<var vt=\"VT_EMPTY\" />\r\n", indent);
      return;
    case VT_NULL:
      out += WideFormat(u"%s<var vt=\"VT_NULL\" />\r\n", indent);
      return;
    case VT_I2:
      out += WideFormat(u"%s<var vt=\"VT_I2\">%hd</var>\r\n", indent, int{v.iVal});
      return;
    case VT_I4:
      out += WideFormat(u"%s<var vt=\"VT_I4\">%d</var>\r\n", indent, v.lVal);
      return;
    case VT_R4:
      out += WideFormat(u"%s<var vt=\"VT_R4\">%f</var>\r\n", indent, double{v.fltVal});
      return;
    case VT_R8:
      out += WideFormat(u"%s<var vt=\"VT_R8\">%f</var>\r\n", indent, v.dblVal);
      return;
    case VT_DATE:
      out += WideFormat(u"%s<var vt=\"VT_DATE\">%s</var>\r\n", indent, DateText(v.date).c_str());
      return;
    case VT_BSTR:
      out += WideFormat(u"%s<var vt=\"VT_BSTR\">%s</var>\r\n", indent,
                        kiv::vutil::TextOf(v.bstrVal).c_str());
      return;
    case VT_BOOL:
      out += WideFormat(u"%s<var vt=\"VT_BOOL\">%s</var>\r\n", indent,
                        v.boolVal == 0 ? u"FALSE" : u"TRUE");
      return;
    case VT_I1:
      out += WideFormat(u"%s<var vt=\"VT_I1\">%hd</var>\r\n", indent,
                        int{static_cast<signed char>(v.cVal)});
      return;
    case VT_UI1:
      out += WideFormat(u"%s<var vt=\"VT_UI1\">%hu</var>\r\n", indent, unsigned{v.bVal});
      return;
    case VT_UI2:
      out += WideFormat(u"%s<var vt=\"VT_UI2\">%hu</var>\r\n", indent, unsigned{v.uiVal});
      return;
    case VT_UI4:
      out += WideFormat(u"%s<var vt=\"VT_UI4\">%lu</var>\r\n", indent, v.ulVal);
      return;
    case ArrayOf(VT_I2):
      DumpElements<short, int>(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_I2\" count=\"%d\">\r\n",
                               u"%s<var vt=\"VT_I2\">%d</var>\r\n");
      return;
    case ArrayOf(VT_I4):
      DumpElements<int>(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_I4\" count=\"%d\">\r\n",
                        u"%s<var vt=\"VT_I4\">%d</var>\r\n");
      return;
    case ArrayOf(VT_UI2):
      DumpElements<unsigned short, int>(out, v, indent,
                                        u"%s<var vt=\"VT_ARRAY|VT_UI2\" count=\"%d\">\r\n",
                                        u"%s<var vt=\"VT_UI2\">%d</var>\r\n");
      return;
    case ArrayOf(VT_UI4):
      // %d as the format has it: values past 2^31 - 1 print negative.
      DumpElements<unsigned long, LONG>(out, v, indent,
                                        u"%s<var vt=\"VT_ARRAY|VT_UI4\" count=\"%d\">\r\n",
                                        u"%s<var vt=\"VT_UI4\">%d</var>\r\n");
      return;
    case ArrayOf(VT_BSTR):
      DumpElements<std::u16string>(out, v, indent,
                                   u"%s<var vt=\"VT_ARRAY|VT_BSTR\" count=\"%d\">\r\n",
                                   u"%s<var vt=\"VT_BSTR\">%s</var>\r\n");
      return;
    case ArrayOf(VT_VARIANT): {
      const LONG count = GetArrayLength(v);
      out += WideFormat(u"%s<var vt=\"VT_ARRAY|VT_VARIANT\" count=\"%d\">\r\n", indent, count);
      for (LONG i = 0; i < count; ++i) {
        kiv::Variant element;
        GetElement(v, i, element.get());
        DumpValue(out, *element, depth + 1);
      }
      out += WideFormat(u"%s</var>\r\n", indent);
      return;
    }
    case ArrayOf(VT_R4):
      DumpCount(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_R4\" count=\"%d\" />\r\n");
      return;
    case ArrayOf(VT_R8):
      DumpCount(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_R8\" count=\"%d\" />\r\n");
      return;
    case ArrayOf(VT_I1):
      DumpCount(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_I1\" count=\"%d\" />\r\n");
      return;
    case ArrayOf(VT_UI1):
      DumpCount(out, v, indent, u"%s<var vt=\"VT_ARRAY|VT_UI1\" count=\"%d\" />\r\n");
      return;
    default:
      out += WideFormat(u"%s<var vt=\"%d (unknown)\" />\r\n", indent, int{v.vt});
      return;
  }
}

// A value that fails part-way shows an error line in place of its remaining
// lines; the dump goes on with the next value.
void DumpValue(std::u16string& out, const VARIANT& v, int depth) {
  const std::u16string indent(2 * static_cast<std::size_t>(depth), u' ');
  try {
    DumpLines(out, v, depth, indent.c_str());
  } catch (const KivException& e) {
    out += WideFormat(u"%s<Error>%s</Error>\r\n", indent.c_str(), e.getMessage());
  }
}

}  // namespace

std::u16string DumpVariant(const VARIANT& v, const std::u16string& title) {
  std::u16string out = u"Dumping " + title + u": ";
  DumpValue(out, v, 1);
  return out;
}

}  // namespace VUtil
