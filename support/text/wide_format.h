// printf-style formatting with the rules of wide-character Windows code, on
// UTF-16 text. Pure functions: any thread; never throw except std::bad_alloc.
//
// In a wide format %s, %ls, %ws and %c take UTF-16 (const char16_t*, char16_t
// passed as int); %hs, %S, %hc and %C take 8-bit UTF-8 text, converted with
// FromUtf8 (kept up to the first invalid sequence). Integer sizes follow that
// platform: 'hh' 8 bits, 'h' 16, none, 'l' and 'I32' 32 bits, 'll' and 'I64'
// 64, 'I' and 'z' size_t, 'j' intmax_t, 't' ptrdiff_t; 'L' makes floats long
// double. Flags -+0# and space, width and precision (also '*') apply; on
// strings they count UTF-16 units, precision stops reading (the text need not
// be terminated), and '0' pads with zeros as Windows does. A null string
// prints "(null)"; %p prints all hex digits in upper case. %n is refused: it
// prints nothing and takes no argument. An unknown conversion character is
// printed alone ("%Y" gives "Y"); a format ending inside a conversion stops there.
#pragma once

#include <cstdarg>
#include <string>

namespace kiv {

std::u16string WideFormat(const char16_t* format, ...);
std::u16string WideFormatV(const char16_t* format, va_list args);

}  // namespace kiv

// Formats into a cleared target; an allocation failure leaves it empty.
// The 8-bit overload follows the ordinary C printf rules.
void FormatString(std::u16string& target, const char16_t* format, ...);
void FormatString(std::string& target, const char* format, ...);
