#include "support/text/wide_format.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string_view>

#include "kiv/utf8.h"

namespace kiv {
namespace {

enum class Size {
  kNone,
  kChar,
  kShort,
  kLong,
  kLongLong,
  kLongDouble,
  kSizeT,
  kIntMax,
  kPtrdiff,
  kWide
};

struct Conversion {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool alt = false;
  int width = 0;
  int precision = -1;  // -1: none given
  Size size = Size::kNone;
};

// Owns a copy of the caller's list so that fetching never disturbs it and
// va_end always runs.
class Args {
 public:
  explicit Args(va_list args) { va_copy(args_, args); }
  ~Args() { va_end(args_); }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  template <typename T>
  T Next() {
    return va_arg(args_, T);
  }

 private:
  va_list args_;
};

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Saturates instead of overflowing on absurd field sizes.
int ParseNumber(const char16_t*& p) {
  int value = 0;
  for (; IsDigit(*p); ++p) {
    int digit = *p - u'0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
  }
  return value;
}

// Rebuilds the conversion as a narrow conv for snprintf; width and precision
// are already resolved, so no '*' reaches it.
std::string NarrowConversion(const Conversion& conv, const char* lengthModifier, char conversion) {
  std::string out = "%";
  if (conv.left) out += '-';
  if (conv.plus) out += '+';
  if (conv.space) out += ' ';
  if (conv.zero) out += '0';
  if (conv.alt) out += '#';
  if (conv.width > 0) out += std::to_string(conv.width);
  if (conv.precision >= 0) out += '.' + std::to_string(conv.precision);
  out += lengthModifier;
  out += conversion;
  return out;
}

template <typename T>
void AppendNumber(std::u16string& out, const std::string& narrowSpec, T value) {
  char small[64];
  int n = std::snprintf(small, sizeof small, narrowSpec.c_str(), value);
  if (n < 0) return;  // e.g. a field wider than INT_MAX: nothing printable
  std::string big;
  const char* text = small;
  if (static_cast<size_t>(n) >= sizeof small) {
    big.resize(static_cast<size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), narrowSpec.c_str(), value);
    text = big.data();
  }
  // snprintf emits ASCII only here, so widening byte by byte is exact.
  out.append(text, text + n);
}

// Width counts UTF-16 units; '0' without '-' pads with zeros, as the wide
// Windows printf does for every conversion.
void AppendPadded(std::u16string& out, const Conversion& conv, std::u16string_view text) {
  size_t pad = static_cast<size_t>(conv.width) > text.size() ? conv.width - text.size() : 0;
  if (!conv.left) out.append(pad, conv.zero ? u'0' : u' ');
  out.append(text);
  if (conv.left) out.append(pad, u' ');
}

std::u16string_view CutToPrecision(std::u16string_view text, const Conversion& conv) {
  if (conv.precision >= 0 && text.size() > static_cast<size_t>(conv.precision)) {
    text = text.substr(0, conv.precision);
  }
  return text;
}

void AppendWideString(std::u16string& out, const Conversion& conv, const char16_t* s) {
  if (s == nullptr) {
    AppendPadded(out, conv, CutToPrecision(u"(null)", conv));
    return;
  }
  // With a precision the text need not be terminated: read no further.
  size_t length = 0;
  while ((conv.precision < 0 || length < static_cast<size_t>(conv.precision)) && s[length] != 0) {
    ++length;
  }
  AppendPadded(out, conv, std::u16string_view(s, length));
}

// Bytes of the first `units` UTF-8 sequences of s, reading no byte beyond
// them; FromUtf8 then validates what the lead bytes announce.
size_t Utf8PrefixBytes(const char* s, int units) {
  size_t bytes = 0;
  for (int count = 0; (units < 0 || count < units) && s[bytes] != 0; ++count) {
    auto lead = static_cast<unsigned char>(s[bytes]);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                                                   : 0;
    if (length == 0) break;  // FromUtf8 would stop here too
    size_t i = 1;
    while (i < length && s[bytes + i] != 0) ++i;
    bytes += i;
    if (i < length) break;
  }
  return bytes;
}

void AppendNarrowString(std::u16string& out, const Conversion& conv, const char* s) {
  if (s == nullptr) {
    AppendPadded(out, conv, CutToPrecision(u"(null)", conv));
    return;
  }
  std::u16string text = FromUtf8(std::string_view(s, Utf8PrefixBytes(s, conv.precision)));
  AppendPadded(out, conv, CutToPrecision(text, conv));
}

void AppendSigned(std::u16string& out, const Conversion& conv, char conversion, Args& args) {
  long long value;
  switch (conv.size) {
    case Size::kChar:
      value = static_cast<signed char>(args.Next<int>());
      break;
    case Size::kShort:
      value = static_cast<short>(args.Next<int>());
      break;
    case Size::kLongLong:
    case Size::kLongDouble:
      value = args.Next<long long>();
      break;
    case Size::kSizeT:
    case Size::kPtrdiff:
      value = args.Next<ptrdiff_t>();
      break;
    case Size::kIntMax:
      value = args.Next<intmax_t>();
      break;
    default:
      value = args.Next<int>();
      break;  // none, 'l', 'I32', 'w': 32 bits
  }
  AppendNumber(out, NarrowConversion(conv, "ll", conversion), value);
}

void AppendUnsigned(std::u16string& out, const Conversion& conv, char conversion, Args& args) {
  // Truncating to the argument's width makes a negative %hx print 4 digits.
  unsigned long long value;
  switch (conv.size) {
    case Size::kChar:
      value = static_cast<unsigned char>(args.Next<int>());
      break;
    case Size::kShort:
      value = static_cast<unsigned short>(args.Next<int>());
      break;
    case Size::kLongLong:
    case Size::kLongDouble:
      value = args.Next<unsigned long long>();
      break;
    case Size::kSizeT:
    case Size::kPtrdiff:
      value = args.Next<size_t>();
      break;
    case Size::kIntMax:
      value = args.Next<uintmax_t>();
      break;
    default:
      value = args.Next<unsigned>();
      break;
  }
  AppendNumber(out, NarrowConversion(conv, "ll", conversion), value);
}

void AppendFloat(std::u16string& out, const Conversion& conv, char conversion, Args& args) {
  if (conv.size == Size::kLongDouble) {
    AppendNumber(out, NarrowConversion(conv, "L", conversion), args.Next<long double>());
  } else {
    AppendNumber(out, NarrowConversion(conv, "", conversion), args.Next<double>());
  }
}

void AppendPointer(std::u16string& out, const Conversion& conv, Args& args) {
  // Windows prints a pointer as all its hex digits, upper case, no prefix.
  char digits[2 * sizeof(void*) + 1];
  std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(args.Next<void*>())));
  std::u16string text(digits, digits + 2 * sizeof(void*));
  Conversion padding = conv;
  padding.zero = false;
  AppendPadded(out, padding, text);
}

// Parses one conversion after '%' and appends its output; returns the
// position after it (at the terminator if the format ends mid-conv).
const char16_t* Convert(const char16_t* p, std::u16string& out, Args& args) {
  Conversion conv;
  for (;; ++p) {
    if (*p == u'-')
      conv.left = true;
    else if (*p == u'+')
      conv.plus = true;
    else if (*p == u' ')
      conv.space = true;
    else if (*p == u'0')
      conv.zero = true;
    else if (*p == u'#')
      conv.alt = true;
    else
      break;
  }
  if (*p == u'*') {
    ++p;
    int width = args.Next<int>();
    if (width < 0) {
      conv.left = true;
      width = width == INT_MIN ? INT_MAX : -width;
    }
    conv.width = width;
  } else {
    conv.width = ParseNumber(p);
  }
  if (*p == u'.') {
    ++p;
    if (*p == u'*') {
      ++p;
      int precision = args.Next<int>();
      conv.precision = precision < 0 ? -1 : precision;
    } else {
      conv.precision = ParseNumber(p);
    }
  }
  switch (*p) {
    case u'h':
      conv.size = p[1] == u'h' ? (++p, Size::kChar) : Size::kShort;
      ++p;
      break;
    case u'l':
      conv.size = p[1] == u'l' ? (++p, Size::kLongLong) : Size::kLong;
      ++p;
      break;
    case u'L':
      conv.size = Size::kLongDouble;
      ++p;
      break;
    case u'w':
      conv.size = Size::kWide;
      ++p;
      break;
    case u'z':
      conv.size = Size::kSizeT;
      ++p;
      break;
    case u'j':
      conv.size = Size::kIntMax;
      ++p;
      break;
    case u't':
      conv.size = Size::kPtrdiff;
      ++p;
      break;
    case u'I':
      ++p;
      if (p[0] == u'6' && p[1] == u'4') {
        conv.size = Size::kLongLong;
        p += 2;
      } else if (p[0] == u'3' && p[1] == u'2') {
        conv.size = Size::kLong;
        p += 2;
      } else {
        conv.size = Size::kSizeT;
      }
      break;
    default:
      break;
  }
  if (*p == 0) return p;
  char16_t conversion = *p++;
  // 'h' always means 8-bit text, 'l'/'w' always wide; bare %S and %C take
  // the other width than %s and %c.
  bool upper = conversion == u'S' || conversion == u'C';
  bool narrowText =
      conv.size == Size::kShort || (upper && conv.size != Size::kLong && conv.size != Size::kWide);
  switch (conversion) {
    case u'd':
    case u'i':
      AppendSigned(out, conv, static_cast<char>(conversion), args);
      break;
    case u'u':
    case u'o':
    case u'x':
    case u'X':
      AppendUnsigned(out, conv, static_cast<char>(conversion), args);
      break;
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
      AppendFloat(out, conv, static_cast<char>(conversion), args);
      break;
    case u's':
    case u'S':
      if (narrowText)
        AppendNarrowString(out, conv, args.Next<const char*>());
      else
        AppendWideString(out, conv, args.Next<const char16_t*>());
      break;
    case u'c':
    case u'C':
      if (narrowText) {
        char byte = static_cast<char>(args.Next<int>());
        AppendPadded(out, conv, FromUtf8(std::string_view(&byte, 1)));
      } else {
        char16_t unit = static_cast<char16_t>(args.Next<int>());
        AppendPadded(out, conv, std::u16string_view(&unit, 1));
      }
      break;
    case u'p':
      AppendPointer(out, conv, args);
      break;
    case u'n':
      break;  // refused: writing through an argument is a classic exploit
    default:
      out += conversion;
      break;  // includes "%%"
  }
  return p;
}

}  // namespace

std::u16string WideFormatV(const char16_t* format, va_list args) {
  std::u16string out;
  if (format == nullptr) return out;
  Args list(args);
  for (const char16_t* p = format; *p != 0;) {
    if (*p != u'%') {
      out += *p++;
    } else {
      p = Convert(p + 1, out, list);
    }
  }
  return out;
}

std::u16string WideFormat(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  struct End {
    va_list& args;
    ~End() { va_end(args); }
  } end{args};
  return WideFormatV(format, args);
}

}  // namespace kiv

void FormatString(std::u16string& target, const char16_t* format, ...) {
  target.clear();
  va_list args;
  va_start(args, format);
  try {
    target = kiv::WideFormatV(format, args);
  } catch (const std::bad_alloc&) {
    target.clear();
  }
  va_end(args);
}

void FormatString(std::string& target, const char* format, ...) {
  target.clear();
  if (format == nullptr) return;
  try {
    std::string buffer(128, '\0');
    for (;;) {
      va_list args;
      va_start(args, format);
      int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
      va_end(args);
      // This C library always reports the needed size; a negative answer is
      // an encoding error that no larger buffer would cure.
      if (n < 0) return;
      if (static_cast<size_t>(n) < buffer.size()) {
        target.assign(buffer.data(), n);
        return;
      }
      buffer.resize(static_cast<size_t>(n) + 1);
    }
  } catch (const std::bad_alloc&) {
    target.clear();
  }
}
