// Small owners for the operating-system objects the engine obtains: each one releases
// what it holds when it goes out of scope, so every early return releases too.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <utility>

namespace tolvane {

// A kernel handle closed with CloseHandle. `Invalid` is the value the obtaining call
// returns on failure (null for most calls, INVALID_HANDLE_VALUE for CreateFileW).
template <HANDLE (*Invalid)()>
class UniqueHandleT {
 public:
  UniqueHandleT() = default;
  explicit UniqueHandleT(HANDLE h) : handle_(h) {}
  UniqueHandleT(const UniqueHandleT&) = delete;
  UniqueHandleT& operator=(const UniqueHandleT&) = delete;
  UniqueHandleT(UniqueHandleT&& other) noexcept : handle_(other.release()) {}
  UniqueHandleT& operator=(UniqueHandleT&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandleT() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != Invalid(); }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(handle_, Invalid()); }
  // Closes the handle now; returns false when CloseHandle reports a failure.
  bool reset(HANDLE h = Invalid()) {
    HANDLE old = std::exchange(handle_, h);
    return old == Invalid() || CloseHandle(old) != FALSE;
  }

 private:
  HANDLE handle_ = Invalid();
};

inline HANDLE NullHandleValue() { return nullptr; }
inline HANDLE InvalidHandleValue() { return INVALID_HANDLE_VALUE; }
using UniqueHandle = UniqueHandleT<NullHandleValue>;
using UniqueFile = UniqueHandleT<InvalidHandleValue>;

// A COM interface pointer released with Release.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Releases what is held and hands out the slot for an out-parameter.
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (ptr_) std::exchange(ptr_, nullptr)->Release();
  }

 private:
  T* ptr_ = nullptr;
};

// A BSTR freed with SysFreeString.
class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(const wchar_t* text) : text_(SysAllocString(text)) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { SysFreeString(text_); }
  BSTR get() const { return text_; }
  explicit operator bool() const { return text_ != nullptr; }

 private:
  BSTR text_ = nullptr;
};

// A loaded module resource: the bytes stay readable while the owner lives, and the
// resource is handed back with FreeResource when it goes.
class LoadedResource {
 public:
  LoadedResource(HMODULE module, int id, const wchar_t* type) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info) return;
    global_ = LoadResource(module, info);
    if (!global_) return;
    data_ = static_cast<const uint8_t*>(LockResource(global_));
    size_ = data_ ? SizeofResource(module, info) : 0;
  }
  LoadedResource(const LoadedResource&) = delete;
  LoadedResource& operator=(const LoadedResource&) = delete;
  ~LoadedResource() {
    if (global_) FreeResource(global_);
  }
  bool found() const { return data_ != nullptr; }
  const uint8_t* data() const { return data_; }
  DWORD size() const { return size_; }

 private:
  HGLOBAL global_ = nullptr;
  const uint8_t* data_ = nullptr;
  DWORD size_ = 0;
};

}  // namespace tolvane
