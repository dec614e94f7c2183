// Times the fragment walk (DetectFragments) over synthetic found-page lists of 10^5 and 10^6
// hits and reports how the time grows: a linear walk takes about 10x as long for 10x the hits.
//
//   fragment_walk_bench [REPEATS]
//
// The hit lists look like a scan of a large disk: runs of consecutive map pages (fragments of
// 1 to 300 intervals) with noise between them, a stray map page inside some runs, and now and
// then the same ID twice in a row. Each size is walked REPEATS times (default 15); the best
// and the median time are printed. Exit status 1 when the median ratio exceeds 12.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

#include "scan/fragments.h"
#include "scan/map_page.h"

namespace {

using kestrix::scan::FoundPage;

std::vector<FoundPage> makeHits(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<FoundPage> hits;
  hits.reserve(count);
  std::int64_t sector = 2048;
  while (hits.size() < count) {
    const auto length = std::int32_t(1 + rng() % 300);
    const auto firstId = std::int32_t(rng() % 5000);
    for (std::int32_t k = 0; k < length && hits.size() < count; ++k) {
      hits.push_back({firstId + k, sector});
      if (rng() % 64 == 0 && hits.size() < count) hits.push_back({std::int32_t(rng() % 5000), sector + 100});
      if (rng() % 256 == 0 && hits.size() < count) hits.push_back({firstId + k, sector + 200});
      sector += kestrix::scan::kIntervalSectors;
    }
    sector += std::int64_t(1 + rng() % 100000);  // noise between fragments
  }
  return hits;
}

struct Timing {
  double best = 0, median = 0;  // seconds
  std::size_t fragments = 0;
};

// Pushes the hit list out of the CPU caches, as the gigabytes a scan streams through them do
// before the walk runs on a real disk.
void evictCaches() {
  static std::vector<std::uint64_t> junk(64u << 17);  // 64 MiB
  static std::uint64_t round = 0;
  ++round;
  for (auto& word : junk) word += round;
}

Timing timeWalk(const std::vector<FoundPage>& hits, int repeats, bool cold) {
  std::vector<double> seconds;
  std::size_t fragments = 0;
  for (int r = 0; r < repeats; ++r) {
    if (cold) evictCaches();
    const auto start = std::chrono::steady_clock::now();
    const auto result = kestrix::scan::DetectFragments(hits);
    const auto end = std::chrono::steady_clock::now();
    fragments = result.size();
    seconds.push_back(std::chrono::duration<double>(end - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds.front(), seconds[seconds.size() / 2], fragments};
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const std::vector<std::size_t> sizes{100'000, 1'000'000, 10'000'000};
  std::vector<std::vector<FoundPage>> lists;
  for (std::size_t i = 0; i < sizes.size(); ++i) lists.push_back(makeHits(sizes[i], i + 1));
  timeWalk(lists[0], 2, false);  // warm the allocator

  double coldRatio = 0;
  for (const bool cold : {true, false}) {
    std::cout << (cold ? "cold caches (hit list evicted before each walk; what follows a real scan)\n"
                       : "warm caches (the same walk repeated back to back)\n");
    std::cout << "  hits        fragments  best_ms     median_ms   ns_per_hit(median)\n";
    std::vector<Timing> t;
    for (const auto& hits : lists) {
      t.push_back(timeWalk(hits, repeats, cold));
      std::printf("  %-10zu  %-9zu  %-10.3f  %-10.3f  %.2f\n", hits.size(), t.back().fragments, t.back().best * 1e3,
                  t.back().median * 1e3, t.back().median * 1e9 / double(hits.size()));
    }
    for (std::size_t i = 0; i + 1 < t.size(); ++i)
      std::printf("  ratio %zu -> %zu hits: median %.2f, best %.2f\n", sizes[i], sizes[i + 1],
                  t[i + 1].median / t[i].median, t[i + 1].best / t[i].best);
    if (cold) coldRatio = t[1].median / t[0].median;
  }
  std::cout << "target: 10x the hits in at most 12x the time (10^5 -> 10^6, cold, median)\n";
  return coldRatio <= 12.0 ? 0 : 1;
}
