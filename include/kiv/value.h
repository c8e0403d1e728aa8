// RAII owners for the OLE Automation values of <kiv/oleaut.h>. Each owner
// frees what it holds when it goes out of scope, so no value leaks on an
// error path. Owners are movable; Variant and Bstr copies are deep copies
// and throw std::bad_alloc when memory runs out.
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "kiv/oleaut.h"

namespace kiv {

// Owns one BSTR (possibly null, which reads as the empty string).
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text) {
    // A length past 32 bits would be silently truncated by the cast.
    if (text.size() <= 0xFFFFFFFFu) {
      p_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    if (p_ == nullptr) throw std::bad_alloc();
  }
  Bstr(const Bstr& other) : Bstr(other.view()) {}
  Bstr(Bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Bstr() { SysFreeString(p_); }

  // Takes ownership of a string allocated with SysAllocString*.
  static Bstr Attach(BSTR text) {
    Bstr owner;
    owner.p_ = text;
    return owner;
  }
  BSTR Detach() { return std::exchange(p_, nullptr); }

  BSTR get() const { return p_; }
  UINT size() const { return SysStringLen(p_); }
  std::u16string_view view() const { return {p_ ? p_ : u"", size()}; }
  std::u16string str() const { return std::u16string(view()); }

 private:
  BSTR p_ = nullptr;
};

// Owns one VARIANT; starts VT_EMPTY and is cleared on destruction.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant& other) : Variant() { CopyFrom(other.v_); }
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Variant& operator=(const Variant& other) {
    if (this != &other) CopyFrom(other.v_);
    return *this;
  }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      VariantClear(&v_);
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }
  ~Variant() { VariantClear(&v_); }

  // Deep copy of a value this owner does not hold.
  static Variant CopyOf(const VARIANT& source) {
    Variant copy;
    copy.CopyFrom(source);
    return copy;
  }
  // Takes ownership of a raw VARIANT and leaves the source VT_EMPTY.
  static Variant Adopt(VARIANT& source) noexcept {
    Variant owner;
    owner.v_ = source;
    VariantInit(&source);
    return owner;
  }
  // Takes ownership of an array; the variant's type is VT_ARRAY | elementType.
  static Variant Adopt(SAFEARRAY* array, VARTYPE elementType) noexcept {
    Variant owner;
    owner.v_.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    owner.v_.parray = array;
    return owner;
  }

  static Variant Null() {
    Variant v;
    v.v_.vt = VT_NULL;
    return v;
  }
  static Variant I4(LONG value) { return Scalar(VT_I4, &VARIANT::lVal, value); }
  static Variant I8(LONGLONG value) { return Scalar(VT_I8, &VARIANT::llVal, value); }
  static Variant R8(DOUBLE value) { return Scalar(VT_R8, &VARIANT::dblVal, value); }
  static Variant Bool(bool value) {
    return Scalar(VT_BOOL, &VARIANT::boolVal, value ? VARIANT_TRUE : VARIANT_FALSE);
  }
  static Variant String(std::u16string_view text) {
    Variant v;
    v.v_.bstrVal = Bstr(text).Detach();
    v.v_.vt = VT_BSTR;
    return v;
  }

  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARIANT& operator*() { return v_; }
  const VARIANT& operator*() const { return v_; }
  VARIANT* operator->() { return &v_; }
  const VARIANT* operator->() const { return &v_; }
  VARTYPE vt() const { return v_.vt; }

  // Clears the value and hands out its address for a function that fills it.
  VARIANT* Receive() {
    VariantClear(&v_);
    return &v_;
  }
  // Gives up ownership; the caller must VariantClear the result.
  VARIANT Detach() noexcept {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }

 private:
  template <typename Field, typename T>
  static Variant Scalar(VARTYPE vt, Field VARIANT::*field, T value) {
    Variant v;
    v.v_.vt = vt;
    v.v_.*field = value;
    return v;
  }
  void CopyFrom(const VARIANT& source) {
    if (VariantCopy(&v_, &source) != S_OK) throw std::bad_alloc();
  }

  VARIANT v_;
};

// Owns one SAFEARRAY and destroys it (with its elements) on destruction.
class SafeArrayPtr {
 public:
  SafeArrayPtr() = default;
  explicit SafeArrayPtr(SAFEARRAY* array) noexcept : p_(array) {}
  SafeArrayPtr(SafeArrayPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  SafeArrayPtr& operator=(SafeArrayPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  SafeArrayPtr(const SafeArrayPtr&) = delete;
  SafeArrayPtr& operator=(const SafeArrayPtr&) = delete;
  ~SafeArrayPtr() { reset(); }

  void reset(SAFEARRAY* array = nullptr) noexcept {
    if (p_ != nullptr) SafeArrayDestroy(p_);
    p_ = array;
  }
  SAFEARRAY* get() const { return p_; }
  SAFEARRAY* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  SAFEARRAY* p_ = nullptr;
};

// Holds SafeArrayAccessData for one scope. ok() tells whether access was
// granted; data() is null otherwise.
class SafeArrayAccess {
 public:
  explicit SafeArrayAccess(SAFEARRAY* array) : array_(array) {
    if (SafeArrayAccessData(array_, &data_) != S_OK) {
      array_ = nullptr;
      data_ = nullptr;
    }
  }
  SafeArrayAccess(const SafeArrayAccess&) = delete;
  SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
  ~SafeArrayAccess() {
    if (array_ != nullptr) SafeArrayUnaccessData(array_);
  }

  bool ok() const { return array_ != nullptr; }
  void* data() const { return data_; }
  template <typename T>
  T* as() const {
    return static_cast<T*>(data_);
  }

 private:
  SAFEARRAY* array_;
  void* data_ = nullptr;
};

}  // namespace kiv
