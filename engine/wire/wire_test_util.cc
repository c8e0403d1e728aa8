#include "engine/wire/wire_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "engine/wire/wire_codec.h"
#include "engine/wire/wire_types.h"

namespace kiv::testing {

SocketPair::SocketPair() {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) ADD_FAILURE() << "socketpair failed";
}

SocketPair::~SocketPair() {
  for (int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

void SocketPair::CloseWriter() {
  ::close(fds_[0]);
  fds_[0] = -1;
}

void SocketPair::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fds_[0], bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << "send failed";
    sent += static_cast<std::size_t>(n);
  }
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += digits;
  }
  return out;
}

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : hex) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return out;
}

std::vector<std::uint8_t> Encode(const VARIANT& value) {
  MemorySink sink;
  if (!WriteVariant(sink, value)) return {};
  return sink.bytes();
}

bool Decode(const std::vector<std::uint8_t>& bytes, Variant& out) {
  MemorySource source(bytes.data(), bytes.size());
  return ReadVariant(source, out.get()) && source.remaining() == 0;
}

Variant MakeArray(VARTYPE elementType, std::vector<SAFEARRAYBOUND> bounds, const void* data,
                  std::size_t dataBytes) {
  SAFEARRAY* array = SafeArrayCreate(elementType, static_cast<UINT>(bounds.size()), bounds.data());
  EXPECT_NE(array, nullptr);
  if (array != nullptr && data != nullptr) {
    SafeArrayAccess access(array);
    std::memcpy(access.data(), data, dataBytes);
  }
  return Variant::Adopt(array, elementType);
}

Variant MakeVariantArray(std::vector<Variant> items) {
  Variant array = MakeArray(VT_VARIANT, {{static_cast<ULONG>(items.size()), 0}});
  SafeArrayAccess access(array->parray);
  for (std::size_t i = 0; i < items.size(); ++i) access.as<VARIANT>()[i] = items[i].Detach();
  return array;
}

namespace {

bool SameArray(SAFEARRAY* a, SAFEARRAY* b, VARTYPE elementType) {
  if (a == nullptr || b == nullptr || a->cDims != b->cDims) return a == b;
  std::size_t total = 1;
  for (USHORT i = 0; i < a->cDims; ++i) {
    if (a->rgsabound[i].cElements != b->rgsabound[i].cElements ||
        a->rgsabound[i].lLbound != b->rgsabound[i].lLbound) {
      return false;
    }
    total *= a->rgsabound[i].cElements;
  }
  SafeArrayAccess da(a), db(b);
  for (std::size_t i = 0; i < total; ++i) {
    if (elementType == VT_VARIANT) {
      if (!SameValue(da.as<VARIANT>()[i], db.as<VARIANT>()[i])) return false;
    } else if (elementType == VT_BSTR) {
      const BSTR x = da.as<BSTR>()[i], y = db.as<BSTR>()[i];
      if (SysStringLen(x) != SysStringLen(y) ||
          std::memcmp(x ? x : u"", y ? y : u"", SysStringLen(x) * 2) != 0) {
        return false;
      }
    }
  }
  const std::size_t size = wire::FixedElementSize(elementType);
  return size == 0 || std::memcmp(da.data(), db.data(), size * total) == 0;
}

}  // namespace

bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  if ((a.vt & VT_ARRAY) != 0) return SameArray(a.parray, b.parray, a.vt & VT_TYPEMASK);
  if (a.vt == VT_BSTR) {
    return SysStringLen(a.bstrVal) == SysStringLen(b.bstrVal) &&
           std::memcmp(a.bstrVal ? a.bstrVal : u"", b.bstrVal ? b.bstrVal : u"",
                       SysStringLen(a.bstrVal) * 2) == 0;
  }
  const std::size_t size = wire::FixedElementSize(a.vt);
  return size == 0 || std::memcmp(&a.llVal, &b.llVal, size) == 0;
}

}  // namespace kiv::testing
