// The free-region index against a plain list searched the slow way.
#include "storage/free_space_index.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

namespace {

using tolvane::FreeRegion;
using tolvane::FreeSpaceIndex;
using tolvane::PositionTable;

TEST(PositionTable, CollidingPositionsSurviveDeletionInAnyOrder) {
  PositionTable t;
  std::multimap<uint64_t, uint32_t> model;
  std::mt19937 rng(3);
  for (int step = 0; step < 20000; ++step) {
    uint64_t position = (rng() % 300) * 16;  // few positions: long probe runs
    if (rng() % 3 && !model.empty()) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      t.Erase(it->first, it->second);
      model.erase(it);
    } else {
      uint32_t number = static_cast<uint32_t>(rng() % 50);
      t.Insert(position, number);
      model.emplace(position, number);
    }
    ASSERT_EQ(model.size(), t.Count());
    uint64_t probe = (rng() % 300) * 16;
    uint32_t exclude = static_cast<uint32_t>(rng() % 50);
    bool expected = false;
    uint32_t lowest = 0;
    auto range = model.equal_range(probe);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second != exclude && (!expected || it->second < lowest)) lowest = it->second, expected = true;
    }
    uint32_t got = 0;
    ASSERT_EQ(expected, t.Lowest(probe, exclude, got)) << step;
    if (expected) {
      ASSERT_EQ(lowest, got) << step;
    }
  }
}

using Draw = std::function<uint32_t(std::mt19937&)>;

// Random changes of regions of the sizes drawn, each followed by the questions the
// allocator asks, for needs drawn, compared with a scan of every region.
void AnswersAsAScan(const Draw& sizes, const Draw& needs) {
  FreeSpaceIndex index;
  std::map<uint32_t, FreeRegion> regions;  // by number
  std::mt19937 rng(11);
  for (int step = 0; step < 20000; ++step) {
    uint32_t number = static_cast<uint32_t>(rng() % 400);
    auto it = regions.find(number);
    FreeRegion now{number, static_cast<uint32_t>(128 + (rng() % 2000) * 16), sizes(rng)};
    if (it != regions.end()) {
      bool keep = rng() % 2;
      index.Update(number, &it->second, keep ? &now : nullptr);
      if (keep) {
        it->second = now;
      } else {
        regions.erase(it);
      }
    } else {
      index.Update(number, nullptr, &now);
      regions[number] = now;
    }
    uint32_t need = needs(rng);
    uint32_t exclude = static_cast<uint32_t>(rng() % 400);
    // Best fit: smallest remainder, then lowest offset, first in number order.
    const FreeRegion* best = nullptr;
    for (const auto& r : regions) {
      const FreeRegion& c = r.second;
      if (c.number == exclude || c.size < need) continue;
      if (!best || c.size < best->size || (c.size == best->size && c.offset < best->offset)) best = &c;
    }
    FreeRegion found;
    ASSERT_EQ(best != nullptr, index.BestFit(need, exclude, found)) << step;
    if (best) {
      ASSERT_EQ(best->number, found.number) << step;
      ASSERT_EQ(best->offset, found.offset) << step;
      ASSERT_EQ(best->size, found.size) << step;
    }
    uint32_t at = static_cast<uint32_t>(128 + (rng() % 2000) * 16);
    const FreeRegion* start = nullptr;
    const FreeRegion* end = nullptr;
    for (const auto& r : regions) {
      if (r.first == exclude) continue;
      if (!start && r.second.offset == at) start = &r.second;
      if (!end && r.second.offset + r.second.size == at) end = &r.second;
    }
    uint32_t n = 0;
    ASSERT_EQ(start != nullptr, index.StartingAt(at, exclude, n));
    if (start) {
      ASSERT_EQ(start->number, n);
    }
    ASSERT_EQ(end != nullptr, index.EndingAt(at, exclude, n));
    if (end) {
      ASSERT_EQ(end->number, n);
    }
  }
}

TEST(FreeSpaceIndex, AnswersAsAScanInNumberOrderWould) {
  const Draw sixteens = [](std::mt19937& rng) { return static_cast<uint32_t>(16 * (1 + rng() % 40)); };
  AnswersAsAScan(sixteens, sixteens);
}

// Sizes kept apart from the common ones: 64 KiB and more, and the odd sizes of a damaged
// directory, which may be a better fit than any common size; needs of any size.
TEST(FreeSpaceIndex, AnswersAsAScanForLargeAndOddSizes) {
  const Draw sizes = [](std::mt19937& rng) {
    switch (rng() % 4) {
      case 0: return static_cast<uint32_t>(1 + rng() % 700);                // odd mostly
      case 1: return static_cast<uint32_t>(65536 - 32 + 16 * (rng() % 5));  // either side of 64 KiB
      default: return static_cast<uint32_t>(16 * (1 + rng() % 40));
    }
  };
  const Draw needs = [](std::mt19937& rng) {
    return rng() % 3 ? static_cast<uint32_t>(1 + rng() % 700) : static_cast<uint32_t>(65000 + rng() % 1000);
  };
  AnswersAsAScan(sizes, needs);
}

}  // namespace
