// Building blocks for COM objects of this library.
//
//   RefCount      thread-safe counter starting at 0; Add()/Drop() return the
//                 new count. Typical use in an object created with `new`:
//                   ULONG AddRef() override { return refs_.Add(); }
//                   ULONG Release() override {
//                     ULONG n = refs_.Drop(); if (n == 0) delete this; return n; }
//   ComPtr<T>     owns one reference to an interface; Release on destruction.
//                 Attach() adopts a reference, Copy() adds one.
//   ModuleLock    RAII: counts one live object (or one LockServer(TRUE)) for
//                 DllCanUnloadNow. Every creatable object holds one member.
//   SingleInterface<I>  IUnknown for a heap object that exposes one interface
//                 I (and IUnknown): derive, pass I's IID, create with `new`.
// All of these may be used from any thread.
#pragma once

#include <atomic>
#include <utility>

#include "kiv/com.h"

namespace kiv::com {

class RefCount {
 public:
  ULONG Add() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // acq_rel: the thread that sees 0 must see every write made before the
  // other threads' last Release.
  ULONG Drop() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  ULONG Get() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<ULONG> count_{0};
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Adopts a reference the caller already owns.
  static ComPtr Attach(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }
  // Takes a reference of its own.
  static ComPtr Copy(T* p) {
    if (p != nullptr) p->AddRef();
    return Attach(p);
  }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Gives the reference away, e.g. into an out-parameter.
  T* Detach() { return std::exchange(p_, nullptr); }
  // For out-parameters: releases what is held and exposes the slot.
  T** Receive() {
    Reset();
    return &p_;
  }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Number of live objects and server locks of the module.
LONG ModuleLockCount();

class ModuleLock {
 public:
  ModuleLock();
  ~ModuleLock();
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;
};

// The counter itself, for LockServer.
void LockModule();
void UnlockModule();

// QueryInterface, AddRef and Release for an object created with `new` that
// exposes Interface and IUnknown only. The destructor is virtual here, after
// Interface's slots, so the COM vtable order is untouched.
template <class Interface>
class SingleInterface : public Interface {
 public:
  explicit SingleInterface(const IID& iid) : iid_(iid) {}
  SingleInterface(const SingleInterface&) = delete;
  SingleInterface& operator=(const SingleInterface&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.Add(); }
  ULONG Release() override {
    const ULONG n = refs_.Drop();
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~SingleInterface() = default;

 private:
  const IID& iid_;
  RefCount refs_;
};

}  // namespace kiv::com
