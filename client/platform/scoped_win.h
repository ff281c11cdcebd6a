// Small owners for what the platform hands out and wants back: kernel
// handles, GDI objects and device contexts, and OLE Automation strings and
// variants. Each releases its resource when it goes out of scope, so a
// function that acquires several has one visible path and no release chain.
// COM interface pointers use Microsoft::WRL::ComPtr (<wrl/client.h>).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// A kernel handle (CloseHandle). Null and INVALID_HANDLE_VALUE mean none.
// Holds an SRW lock, exclusively or shared, for its scope: the one way the
// client takes a lock.
class ScopedSrwLock {
 public:
  enum Mode { kExclusive, kShared };
  explicit ScopedSrwLock(SRWLOCK* lock, Mode mode = kExclusive) : lock_(lock), mode_(mode) {
    if (mode_ == kShared) {
      AcquireSRWLockShared(lock_);
    } else {
      AcquireSRWLockExclusive(lock_);
    }
  }
  ~ScopedSrwLock() {
    if (mode_ == kShared) {
      ReleaseSRWLockShared(lock_);
    } else {
      ReleaseSRWLockExclusive(lock_);
    }
  }
  ScopedSrwLock(const ScopedSrwLock&) = delete;
  ScopedSrwLock& operator=(const ScopedSrwLock&) = delete;

 private:
  SRWLOCK* const lock_;
  const Mode mode_;
};

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Closes the handle held, if any, and takes `handle`.
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// A GDI object such as a bitmap (DeleteObject).
template <typename T>
class ScopedGdiObject {
 public:
  explicit ScopedGdiObject(T object = nullptr) : object_(object) {}
  ~ScopedGdiObject() {
    if (object_) DeleteObject(object_);
  }
  ScopedGdiObject(const ScopedGdiObject&) = delete;
  ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;

  T get() const { return object_; }

 private:
  T object_;
};

// The device context of the whole screen (GetDC of no window, ReleaseDC).
class ScopedScreenDc {
 public:
  ScopedScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScopedScreenDc() {
    if (dc_) ReleaseDC(nullptr, dc_);
  }
  ScopedScreenDc(const ScopedScreenDc&) = delete;
  ScopedScreenDc& operator=(const ScopedScreenDc&) = delete;

  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

// A memory device context compatible with `dc` (CreateCompatibleDC,
// DeleteDC); none when `dc` is null or the platform refuses.
class ScopedMemoryDc {
 public:
  explicit ScopedMemoryDc(HDC dc) : dc_(dc ? CreateCompatibleDC(dc) : nullptr) {}
  ~ScopedMemoryDc() {
    if (dc_) DeleteDC(dc_);
  }
  ScopedMemoryDc(const ScopedMemoryDc&) = delete;
  ScopedMemoryDc& operator=(const ScopedMemoryDc&) = delete;

  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

// `object` selected into `dc` for the scope; the earlier object goes back
// at its end, before the caller's owners delete either.
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~ScopedSelection() {
    if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// An OLE Automation string (SysFreeString); null means none.
class ScopedBstr {
 public:
  ScopedBstr() = default;
  explicit ScopedBstr(const std::wstring& text)
      : bstr_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~ScopedBstr() { SysFreeString(bstr_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;

  BSTR get() const { return bstr_; }
  // For a call that hands out a string: the slot to write it to.
  BSTR* receive() {
    SysFreeString(bstr_);
    bstr_ = nullptr;
    return &bstr_;
  }

 private:
  BSTR bstr_ = nullptr;
};

// A VARIANT (VariantInit, VariantClear).
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};
