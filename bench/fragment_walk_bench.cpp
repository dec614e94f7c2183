// Times the fragment walk (DetectFragments) over synthetic found-page lists of 10^5, 10^6 and
// 10^7 hits and reports how the time grows: a linear walk takes about 10x as long for 10x the hits.
//
//   fragment_walk_bench [REPEATS]
//
// The hit lists look like a scan of a large disk: runs of consecutive map pages (fragments of
// 1 to 300 intervals) with noise between them, a stray map page inside some runs, and now and
// then the same ID twice in a row. Each size is walked REPEATS times (default 21), with the
// hit list pushed out of the CPU caches first (as after a real scan) and then again with warm
// caches; the best and the median time are printed. Sizes 10^5, 10^6 and 10^7. Exit status 1
// when the cold median ratio 10^6 / 10^5 exceeds 12.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <malloc.h>
#include <random>
#include <vector>

#include "scan/fragments.h"
#include "format/map_page.h"

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

// Pushes the hit list out of the CPU caches, as the gigabytes a scan streams through them do
// before the walk runs on a real disk.
void evictCaches() {
  static std::vector<std::uint64_t> junk(64u << 17);  // 64 MiB
  static std::uint64_t round = 0;
  ++round;
  for (auto& word : junk) word += round;
}

// One sample: the mean time of `walks` walks over the list, in seconds (eviction not timed).
double sample(const std::vector<FoundPage>& hits, int walks, bool cold, std::size_t& fragments) {
  double total = 0;
  for (int w = 0; w < walks; ++w) {
    if (cold) evictCaches();
    const auto start = std::chrono::steady_clock::now();
    const auto result = kestrix::scan::DetectFragments(hits);
    const auto end = std::chrono::steady_clock::now();
    fragments = result.size();
    total += std::chrono::duration<double>(end - start).count();
  }
  return total / walks;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  // Keep freed memory in the process. Otherwise the allocator maps the 10^6 walk's 0.6 MB
  // fragment list fresh for every walk (hundreds of page faults each time) while the 10^5
  // walk's 58 KB list is reused from the heap, and the ratio measures the allocator.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const std::vector<std::size_t> sizes{100'000, 1'000'000, 10'000'000};
  std::vector<std::vector<FoundPage>> lists;
  for (std::size_t i = 0; i < sizes.size(); ++i) lists.push_back(makeHits(sizes[i], i + 1));
  std::vector<std::size_t> fragments(sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) sample(lists[i], 1, false, fragments[i]);  // warm the allocator

  double coldRatio = 0;
  for (const bool cold : {true, false}) {
    std::cout << (cold ? "cold caches (hit list evicted before each walk; what follows a real scan)\n"
                       : "warm caches (no eviction: a list that fits stays in the caches)\n");
    // The sizes take turns in every round, so a change in the machine's load hits all of them;
    // a sample of the small list is the mean of several walks, so that it lasts as long as one
    // walk of 10^6 hits and a single interruption weighs the same.
    std::vector<std::vector<double>> seconds(sizes.size());
    for (int r = 0; r < repeats; ++r)
      for (std::size_t i = 0; i < sizes.size(); ++i)
        seconds[i].push_back(sample(lists[i], int(std::max<std::size_t>(1, 1'000'000 / sizes[i])), cold, fragments[i]));
    std::cout << "  hits        fragments  best_ms     median_ms   ns_per_hit(median)\n";
    std::vector<double> best, med;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      best.push_back(*std::min_element(seconds[i].begin(), seconds[i].end()));
      med.push_back(median(seconds[i]));
      std::printf("  %-10zu  %-9zu  %-10.3f  %-10.3f  %.2f\n", sizes[i], fragments[i], best[i] * 1e3, med[i] * 1e3,
                  med[i] * 1e9 / double(sizes[i]));
    }
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
      std::printf("  ratio %zu -> %zu hits: median %.2f, best %.2f\n", sizes[i], sizes[i + 1], med[i + 1] / med[i],
                  best[i + 1] / best[i]);
    if (cold) coldRatio = med[1] / med[0];
  }
  std::cout << "target: 10x the hits in at most 12x the time (10^5 -> 10^6, cold caches, median)\n";
  return coldRatio <= 12.0 ? 0 : 1;
}
