// Owner of one open registry key: closes it when it goes out of scope.
#pragma once

#include <windows.h>

namespace tolvane {

class UniqueHkey {
 public:
  UniqueHkey() = default;
  explicit UniqueHkey(HKEY key) : key_(key) {}
  ~UniqueHkey() { reset(); }
  UniqueHkey(const UniqueHkey&) = delete;
  UniqueHkey& operator=(const UniqueHkey&) = delete;
  UniqueHkey(UniqueHkey&& other) noexcept : key_(other.release()) {}
  UniqueHkey& operator=(UniqueHkey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

  // For APIs that hand back a new key through an out parameter; drops the old one first.
  HKEY* put() {
    reset();
    return &key_;
  }

  HKEY release() {
    HKEY key = key_;
    key_ = nullptr;
    return key;
  }

  void reset(HKEY key = nullptr) {
    if (key_) RegCloseKey(key_);
    key_ = key;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace tolvane
