// Writes the data the benchmark scripts measure, streaming it to disk in pieces so that a
// multi-gigabyte image never has to fit in memory.
//
//   make_bench_data image OUT SIZE_MIB
//       A disk image of SIZE_MIB MiB: random filler with four synthetic PST files cut into
//       fragments that lie out of order. Also writes OUT.expected.tsv, the fragment list that
//       `kestrix-cli scan --format tsv OUT` must print, so the benchmark can check that the
//       scan it timed did the whole job.
//   make_bench_data rebuild-input OUT INTERVALS
//       A rebuild input of INTERVALS whole map intervals (IDs 0 .. INTERVALS-1) in a shuffled
//       order. Writes OUT.expected-size with the length the rebuild must produce.
//   make_bench_data recover-image OUT INTERVALS
//       A disk image holding one synthetic PST file of INTERVALS intervals, with its header,
//       cut into four pieces that lie out of order between stretches of noise. Also writes the
//       file itself as OUT.pst: what `kestrix-cli recover` must give back, and the bytes that
//       cp copies for comparison.
//   make_bench_data map-pages OUT SIZE_MIB
//       A disk image of SIZE_MIB MiB in which every sector is an allocation-map page, each
//       recording another offset: as many hits as sectors, and as many fragments, since no
//       two neighbouring sectors can fit. Writes the number of hits to OUT.hits.
//   make_bench_data one-page-fragments OUT COUNT
//       A disk image holding one PST header whose file has COUNT + 1 intervals, its map page
//       ID 0, and then the map pages of IDs 1 .. COUNT in a shuffled order, one a sector: a
//       file of COUNT + 1 fragments, each but the first a single page.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/header_block.h"
#include "recover/sample_image.h"
#include "format/map_page.h"
#include "io/size_text.h"

namespace {

using kestrix::scan::kFirstMapPageOffset;
using kestrix::scan::kFirstMapPageSector;
using kestrix::scan::kIntervalBytes;
using kestrix::scan::kIntervalSectors;

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "make_bench_data: " << message << '\n';
  std::exit(1);
}

// Sequential writer that counts sectors and reports every failure with the path.
class Writer {
 public:
  explicit Writer(std::string path) : m_path(std::move(path)) {
    m_file = std::fopen(m_path.c_str(), "wb");
    if (!m_file) fail("Cannot create file \"" + m_path + "\". " + std::strerror(errno));
  }
  ~Writer() {
    if (m_file) std::fclose(m_file);
  }
  void write(std::span<const std::byte> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size())
      fail("Cannot write file \"" + m_path + "\". " + std::strerror(errno));
    m_bytes += std::int64_t(bytes.size());
  }
  void close() {
    if (std::fclose(m_file) != 0) fail("Cannot write file \"" + m_path + "\". " + std::strerror(errno));
    m_file = nullptr;
  }
  std::int64_t sector() const { return m_bytes / 512; }

 private:
  std::string m_path;
  std::FILE* m_file = nullptr;
  std::int64_t m_bytes = 0;
};

// Writes `sectors` sectors of noise, generated a block at a time.
void writeNoise(Writer& out, std::int64_t sectors, std::uint64_t& seed) {
  static std::vector<std::byte> block(16u << 20);
  while (sectors > 0) {
    const auto n = std::size_t(std::min<std::int64_t>(sectors * 512, std::int64_t(block.size())));
    kestrix::rebuild::fillNoise(std::span(block).first(n), seed++);
    out.write(std::span(block).first(n));
    sectors -= std::int64_t(n / 512);
  }
}

struct Piece {
  std::size_t file = 0;     // which synthetic PST
  std::int32_t first = 0;   // first interval ID
  std::int32_t count = 0;   // intervals
};

int makeImage(const std::string& path, std::int64_t sizeMiB) {
  const std::int64_t size = sizeMiB << 20;
  // Four files of different lengths, each cut into pieces of uneven length.
  const std::vector<std::int32_t> lengths{60, 41, 25, 100};
  const std::vector<std::vector<std::int32_t>> cuts{{0, 17, 30, 60}, {0, 9, 41}, {0, 25}, {0, 1, 38, 70, 99, 100}};
  std::vector<std::vector<std::byte>> files;
  std::vector<Piece> pieces;
  for (std::size_t f = 0; f < lengths.size(); ++f) {
    files.push_back(kestrix::rebuild::makeSyntheticPst(lengths[f], 1000 + f));
    for (std::size_t c = 0; c + 1 < cuts[f].size(); ++c) pieces.push_back({f, cuts[f][c], cuts[f][c + 1] - cuts[f][c]});
  }
  std::mt19937_64 rng(7);
  std::shuffle(pieces.begin(), pieces.end(), rng);

  std::int64_t pieceBytes = 0;
  for (const Piece& p : pieces) pieceBytes += p.count * kIntervalBytes + (p.first == 0 ? kFirstMapPageOffset : 0);
  const std::int64_t fillerSectors = (size - pieceBytes) / 512;
  if (fillerSectors < std::int64_t(pieces.size() + 1) * 2048)
    fail("SIZE_MIB is too small for the " + std::to_string(pieceBytes >> 20) + " MiB of fragments");
  // Uneven gaps of noise so that no piece sits on a round boundary.
  const std::int64_t gap = fillerSectors / std::int64_t(pieces.size() + 1);

  Writer out(path);
  std::string expected = "ID\t开始ID\t结束ID\t碎片大小\t文件大小\n";
  std::uint64_t seed = 1;
  std::int64_t fillerLeft = fillerSectors;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::int64_t g = gap - 1 - std::int64_t(i % 7) * 13;
    writeNoise(out, g, seed);
    fillerLeft -= g;
    const Piece& p = pieces[i];
    const auto& file = files[p.file];
    const std::int64_t from = p.first == 0 ? 0 : kFirstMapPageOffset + p.first * kIntervalBytes;
    const std::int64_t to = kFirstMapPageOffset + std::int64_t(p.first + p.count) * kIntervalBytes;
    const std::int64_t firstMapSector = out.sector() + (p.first == 0 ? kFirstMapPageSector : 0);
    out.write(std::span(file).subspan(std::size_t(from), std::size_t(to - from)));
    const std::int64_t lastMapSector = firstMapSector + std::int64_t(p.count - 1) * kIntervalSectors;
    std::string fileSize = "0";
    if (p.first == 0) {
      const std::int64_t declared = kFirstMapPageOffset + std::int64_t(lengths[p.file]) * kIntervalBytes;
      fileSize = std::to_string(lengths[p.file]) + " <" + kestrix::sources::SizeToText(std::uint64_t(declared)) + ">";
    }
    expected += std::to_string(i + 1) + "\t" + std::to_string(p.first) + " - " + std::to_string(firstMapSector) +
                "\t" + std::to_string(p.first + p.count - 1) + " - " + std::to_string(lastMapSector + kIntervalSectors) +
                "\t" + std::to_string(p.count) + "\t" + fileSize + "\n";
  }
  writeNoise(out, fillerLeft, seed);
  out.close();

  std::ofstream tsv(path + ".expected.tsv", std::ios::binary);
  tsv << expected;
  if (!tsv.flush()) fail("Cannot write file \"" + path + ".expected.tsv\"");
  std::cout << "wrote " << path << ": " << size << " bytes, " << pieces.size() << " fragments of "
            << files.size() << " PST files\n";
  return 0;
}

int makeRebuildInput(const std::string& path, std::int32_t intervals) {
  std::vector<std::int32_t> ids(static_cast<std::size_t>(intervals));
  std::iota(ids.begin(), ids.end(), 0);
  std::mt19937_64 rng(11);
  std::shuffle(ids.begin(), ids.end(), rng);
  Writer out(path);
  std::vector<std::byte> interval(static_cast<std::size_t>(kIntervalBytes));
  for (std::int32_t id : ids) {
    kestrix::rebuild::fillNoise(interval, 5000 + std::uint64_t(id));
    const auto page = kestrix::rebuild::makeMapPage(kFirstMapPageOffset + std::int64_t(id) * kIntervalBytes, id);
    std::copy(page.begin(), page.end(), interval.begin());
    out.write(interval);
  }
  out.close();
  std::ofstream sizeFile(path + ".expected-size");
  sizeFile << kFirstMapPageOffset + std::int64_t(intervals) * kIntervalBytes << '\n';
  if (!sizeFile.flush()) fail("Cannot write file \"" + path + ".expected-size\"");
  std::cout << "wrote " << path << ": " << std::int64_t(intervals) * kIntervalBytes << " bytes, " << intervals
            << " intervals\n";
  return 0;
}

int makeRecoverImage(const std::string& path, std::int32_t intervals) {
  if (intervals < 8) fail("a recover image needs at least 8 intervals");
  const std::vector<std::byte> pst = kestrix::rebuild::makeSyntheticPst(intervals, 77);
  {
    Writer file(path + ".pst");
    file.write(pst);
    file.close();
  }
  // Pieces by ID: [0, a), [a, b), [b, c), [c, n), laid out as c.., a.., 0.., b..
  const std::int32_t a = intervals / 4, b = intervals / 2, c = 3 * intervals / 4;
  const std::vector<std::pair<std::int32_t, std::int32_t>> order{{c, intervals}, {a, b}, {0, a}, {b, c}};
  Writer out(path);
  std::uint64_t seed = 3;
  writeNoise(out, 4096 + 17, seed);
  for (const auto& [first, end] : order) {
    const std::int64_t from = first == 0 ? 0 : kFirstMapPageOffset + std::int64_t(first) * kIntervalBytes;
    const std::int64_t to = kFirstMapPageOffset + std::int64_t(end) * kIntervalBytes;
    out.write(std::span(pst).subspan(std::size_t(from), std::size_t(to - from)));
    writeNoise(out, 2048 + 3 * first % 1000, seed);
  }
  out.close();
  std::cout << "wrote " << path << ": a PST file of " << intervals << " intervals (" << pst.size()
            << " bytes, also in " << path << ".pst) in 4 pieces\n";
  return 0;
}

int makeMapPages(const std::string& path, std::int64_t sizeMiB) {
  const std::int64_t sectors = (sizeMiB << 20) / 512;
  std::vector<std::byte> block;
  Writer out(path);
  for (std::int64_t s = 0; s < sectors; ++s) {
    // Map page IDs 0 .. 4999, each page with its own bitmap.
    const auto page = kestrix::rebuild::makeMapPage(kFirstMapPageOffset + (s * 7919 % 5000) * kIntervalBytes,
                                                    std::uint64_t(s));
    block.insert(block.end(), page.begin(), page.end());
    if (block.size() >= (8u << 20) || s + 1 == sectors) {
      out.write(block);
      block.clear();
    }
  }
  out.close();
  std::ofstream hits(path + ".hits");
  hits << sectors << '\n';
  if (!hits.flush()) fail("Cannot write file \"" + path + ".hits\"");
  std::cout << "wrote " << path << ": " << (sizeMiB << 20) << " bytes, " << sectors << " map pages\n";
  return 0;
}

int makeOnePageFragments(const std::string& path, std::int32_t count) {
  // The file's header (the fixed header block, declaring COUNT + 1 intervals) and map page ID 0.
  const auto block = kestrix::rebuild::HeaderBlock();
  std::vector<std::byte> header(block.begin(), block.end());
  const std::uint64_t end = std::uint64_t(kFirstMapPageOffset) + std::uint64_t(count + 1) * std::uint64_t(kIntervalBytes);
  for (int i = 0; i < 8; ++i) header[std::size_t(184 + i)] = std::byte((end >> (8 * i)) & 0xFF);
  std::vector<std::int32_t> ids(static_cast<std::size_t>(count) + 1);
  std::iota(ids.begin(), ids.end(), 0);
  std::mt19937_64 rng(13);
  std::shuffle(ids.begin() + 1, ids.end(), rng);
  Writer out(path);
  out.write(header);
  for (std::int32_t id : ids)
    out.write(kestrix::rebuild::makeMapPage(kFirstMapPageOffset + std::int64_t(id) * kIntervalBytes, std::uint64_t(id)));
  out.close();
  std::cout << "wrote " << path << ": a PST header and " << count + 1 << " one-page fragments of its file\n";
  return 0;
}

std::int64_t positive(const char* text) {
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (!end || *end != '\0' || v <= 0 || v > (1ll << 31) - 1) fail(std::string("not a positive count: ") + text);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: make_bench_data image OUT SIZE_MIB\n"
      "       make_bench_data rebuild-input OUT INTERVALS\n"
      "       make_bench_data recover-image OUT INTERVALS\n"
      "       make_bench_data map-pages OUT SIZE_MIB\n"
      "       make_bench_data one-page-fragments OUT COUNT\n";
  if (argc != 4) {
    std::cerr << usage;
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "image") return makeImage(argv[2], positive(argv[3]));
  if (mode == "rebuild-input") return makeRebuildInput(argv[2], std::int32_t(positive(argv[3])));
  if (mode == "recover-image") return makeRecoverImage(argv[2], std::int32_t(positive(argv[3])));
  if (mode == "map-pages") return makeMapPages(argv[2], positive(argv[3]));
  if (mode == "one-page-fragments") return makeOnePageFragments(argv[2], std::int32_t(positive(argv[3])));
  std::cerr << usage;
  return 2;
}
