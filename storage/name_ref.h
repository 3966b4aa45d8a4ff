// A name's bytes as a folder's name index holds them, and the keyed hash it files them by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace tolvane {

// A name's bytes inside an index; valid while the index holds the name and takes no new one.
class NameRef {
 public:
  NameRef(const char* data, size_t size) : data_(data), size_(size) {}
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const char* begin() const { return data_; }
  const char* end() const { return data_ + size_; }
  char operator[](size_t i) const { return data_[i]; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }
  operator std::string() const { return std::string(data_, size_); }

  friend bool operator==(NameRef a, std::string_view b) { return a.view() == b; }
  friend bool operator==(std::string_view a, NameRef b) { return a == b.view(); }
  friend bool operator!=(NameRef a, std::string_view b) { return a.view() != b; }
  friend bool operator!=(std::string_view a, NameRef b) { return a != b.view(); }
  friend bool operator<(NameRef a, NameRef b) { return a.view() < b.view(); }
  friend std::ostream& operator<<(std::ostream& out, NameRef n) { return out << n.view(); }
  // Callers build paths from names as they did from strings.
  friend std::string operator+(std::string a, NameRef b) { return a.append(b.data_, b.size_); }
  friend std::string operator+(NameRef a, const std::string& b) { return std::string(a).append(b); }

 private:
  const char* data_;
  size_t size_;
};

// A keyed hash of a name. The key is chosen once per process, so that a crafted archive
// cannot count on names that collide.
struct NameHash {
  uint32_t operator()(std::string_view name) const;
};

}  // namespace tolvane
