#include "kiv/kiv_exception.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Copies at most kMessageUnits - 1 units of text and terminates the result.
void CopyMessage(char16_t (&target)[KivException::kMessageUnits], const char16_t* text) {
  std::size_t units = 0;
  if (text != nullptr) {
    while (units < KivException::kMessageUnits - 1 && text[units] != u'\0') ++units;
    std::copy_n(text, units, target);
  }
  std::fill(target + units, std::end(target), u'\0');
}

}  // namespace

KivException::KivException() : KivException(-1, nullptr) {}

KivException::KivException(const char16_t* message) : KivException(-1, message) {}

KivException::KivException(std::int32_t code) : KivException(code, nullptr) {}

KivException::KivException(std::int32_t code, const char16_t* message) : code_(code) {
  CopyMessage(message_, message);
}

KivException::KivException(const KivException& other) : std::exception(other), code_(other.code_) {
  std::memcpy(message_, other.message_, sizeof(message_));
}

KivException& KivException::operator=(const KivException& other) {
  std::exception::operator=(other);
  std::memmove(message_, other.message_, sizeof(message_));
  code_ = other.code_;
  return *this;
}

KivException::~KivException() = default;

std::int32_t KivException::getCode() const {
  return code_;
}

const char16_t* KivException::getMessage() const {
  return message_;
}

KivInvalidParameterException::KivInvalidParameterException(const char16_t* message)
    : KivException(kCode, message) {}

KivInvalidParameterException::~KivInvalidParameterException() = default;
