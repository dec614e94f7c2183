// How long the window's map of the source takes with a large source: 10^6 fragments over
// 4 TB, used by 3,000 files (some fragments by two, some by none), with unreadable runs and a
// zero map, drawn 1200 x 400 offscreen into an image.
//   QT_QPA_PLATFORM=offscreen kestrix_map_bench [FRAGMENTS [PNG]]   (default 1000000)
// Prints the time of setResults (the fold of the fragments into cells), of the first paint,
// of a repaint, of a change of width (a new fold and a paint), of 1,000 hover lookups, and
// the peak resident memory; with PNG, saves the first picture there.

#include <QApplication>
#include <QImage>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "widgets/source_map_view.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double peakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::size_t count = argc > 1 ? std::size_t(std::atoll(argv[1])) : 1000000;
  constexpr std::int64_t kSize = 4'000'000'000'000;  // 4 TB
  constexpr int kFiles = 3000;

  // Fragments of 1 to 8 map intervals with gaps between them, spread evenly over the source.
  std::mt19937_64 random(42);
  const std::int64_t spacing = kSize / 512 / std::int64_t(count);  // sectors per fragment
  auto fragments = std::make_shared<std::vector<kestrix::scan::Fragment>>();
  std::vector<std::vector<std::int32_t>> files(count);
  fragments->reserve(count);
  std::int64_t sector = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t intervals = 1 + std::int32_t(random() % 8);
    const std::int64_t length = std::int64_t(intervals) * 496;
    sector += std::int64_t(random() % std::uint64_t(std::max<std::int64_t>(1, 2 * (spacing - length))));
    fragments->push_back({std::int32_t(i + 1), {0, sector}, {intervals - 1, sector + length - 496}});
    sector += length;
    const auto kind = random() % 100;  // 5 in 100 by no file, 5 in 100 by two
    if (kind >= 5) files[i].push_back(1 + std::int32_t(random() % kFiles));
    if (kind >= 95) files[i].push_back(1 + std::int32_t(random() % kFiles));
  }
  std::vector<kestrix::scan::SectorRun> unreadable;
  for (int i = 0; i < 100; ++i) unreadable.push_back({std::int64_t(random() % std::uint64_t(kSize / 512)), 64});
  std::sort(unreadable.begin(), unreadable.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // Zeros in stretches of up to 1 GB, about a third of the source.
  auto zeros = std::make_shared<kestrix::scan::ZeroMap>();
  zeros->zero.assign(std::size_t(kSize / kestrix::scan::ZeroMap::kUnit), false);
  for (std::size_t u = 0; u < zeros->zero.size();) {
    const std::size_t run = 1 + random() % 16384;
    if (random() % 3 == 0)
      std::fill_n(zeros->zero.begin() + std::ptrdiff_t(u), std::min(run, zeros->zero.size() - u), true);
    u += run;
  }
  std::printf("fragments %zu over %.1f TB, last at byte %lld; data made, peak %.0f MiB\n", count, double(kSize) / 1e12,
              static_cast<long long>(sector * 512), peakMiB());

  kestrix::widgets::SourceMapView view;
  view.resize(1200, 400);
  view.setSource(kSize);
  auto t = Clock::now();
  view.setResults(fragments, files, unreadable, zeros);
  std::printf("setResults       %8.1f ms\n", msSince(t));
  files = {};  // the window may free its copy

  QImage image(view.size(), QImage::Format_RGB32);
  t = Clock::now();
  view.render(&image);
  std::printf("first paint      %8.1f ms\n", msSince(t));
  if (argc > 2) image.save(QString::fromLocal8Bit(argv[2]));
  t = Clock::now();
  view.render(&image);
  std::printf("repaint          %8.1f ms\n", msSince(t));

  view.resize(1000, 400);
  QImage narrower(view.size(), QImage::Format_RGB32);
  t = Clock::now();
  view.render(&narrower);
  std::printf("new width, paint %8.1f ms\n", msSince(t));

  std::uniform_int_distribution<int> x(0, view.width() - 1), y(0, view.byteRect(kSize - 1).bottom());
  int found = 0;
  t = Clock::now();
  for (int i = 0; i < 1000; ++i) found += !view.toolTipAt(QPoint(x(random), y(random))).isEmpty();
  std::printf("1000 hovers      %8.1f ms (%d on a fragment)\n", msSince(t), found);
  std::printf("peak RSS         %8.0f MiB\n", peakMiB());
  return 0;
}
