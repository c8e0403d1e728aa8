// KivException: the library's exception, a result code and a UTF-16 message
// of at most 255 units held inside the object (no allocation, so copying and
// throwing cannot fail). Handlers throw it to answer a call with its code;
// the value utilities throw KivInvalidParameterException (code 1).
// Objects are plain values: any thread may copy or read them.
#pragma once

#include <cstdint>
#include <exception>

#include "kiv/export.h"

// Layout fixed by the binary interface: std::exception (its vtable pointer),
// then the 256-unit message, then the 32-bit code. what() is std::exception's.
class KIV_API KivException : public std::exception {
 public:
  static constexpr int kMessageUnits = 256;

  // Code -1, empty message.
  KivException();
  // Code -1; the message is copied and cut to its first 255 units. A null
  // message reads as the empty one.
  explicit KivException(const char16_t* message);
  KivException(const KivException& other);
  KivException& operator=(const KivException& other);
  ~KivException() override;

  std::int32_t getCode() const;
  // Points into this object: valid as long as the object, always terminated.
  const char16_t* getMessage() const;

 protected:
  // Only derived classes choose a code other than -1.
  explicit KivException(std::int32_t code);
  KivException(std::int32_t code, const char16_t* message);

 private:
  char16_t message_[kMessageUnits];
  std::int32_t code_;
};

// Thrown on a value of the wrong shape; its code is always 1.
class KIV_API KivInvalidParameterException : public KivException {
 public:
  static constexpr std::int32_t kCode = 1;

  explicit KivInvalidParameterException(const char16_t* message);
  ~KivInvalidParameterException() override;
};
