#include "storage/free_space_index.h"

namespace tolvane {

void FreeSpaceIndex::Insert(const FreeRegion& r) {
  bySize_.emplace(r.size, r.offset, r.number);
  byOffset_.emplace(r.offset, r.number, r.size);
  byEnd_.emplace(static_cast<uint64_t>(r.offset) + r.size, r.number, r.offset);
}

void FreeSpaceIndex::Erase(const FreeRegion& r) {
  bySize_.erase(std::make_tuple(r.size, r.offset, r.number));
  byOffset_.erase(std::make_tuple(r.offset, r.number, r.size));
  byEnd_.erase(std::make_tuple(static_cast<uint64_t>(r.offset) + r.size, r.number, r.offset));
}

void FreeSpaceIndex::Clear() {
  bySize_.clear();
  byOffset_.clear();
  byEnd_.clear();
}

bool FreeSpaceIndex::Contains(const FreeRegion& r) const {
  return bySize_.count(std::make_tuple(r.size, r.offset, r.number)) != 0;
}

bool FreeSpaceIndex::BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const {
  for (auto it = bySize_.lower_bound(std::make_tuple(need, 0u, 0u)); it != bySize_.end(); ++it) {
    if (std::get<2>(*it) == exclude) continue;
    found = FreeRegion{std::get<2>(*it), std::get<1>(*it), std::get<0>(*it)};
    return true;
  }
  return false;
}

bool FreeSpaceIndex::StartingAt(uint32_t offset, uint32_t exclude, FreeRegion& found) const {
  for (auto it = byOffset_.lower_bound(std::make_tuple(offset, 0u, 0u));
       it != byOffset_.end() && std::get<0>(*it) == offset; ++it) {
    if (std::get<1>(*it) == exclude) continue;
    found = FreeRegion{std::get<1>(*it), std::get<0>(*it), std::get<2>(*it)};
    return true;
  }
  return false;
}

bool FreeSpaceIndex::EndingAt(uint64_t end, uint32_t exclude, FreeRegion& found) const {
  for (auto it = byEnd_.lower_bound(std::make_tuple(end, 0u, 0u));
       it != byEnd_.end() && std::get<0>(*it) == end; ++it) {
    if (std::get<1>(*it) == exclude) continue;
    uint32_t offset = std::get<2>(*it);
    found = FreeRegion{std::get<1>(*it), offset, static_cast<uint32_t>(end - offset)};
    return true;
  }
  return false;
}

}  // namespace tolvane
