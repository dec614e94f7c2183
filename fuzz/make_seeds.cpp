// Writes the seed inputs of the fuzz targets: make_seeds DIR creates DIR/map_page,
// DIR/fragment_walk and DIR/rebuild_index with a few well-formed inputs each, so that the
// fuzzers start from real map pages, headers and fragment layouts instead of from nothing.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "recover/sample_image.h"
#include "format/map_page.h"

namespace fs = std::filesystem;
using kestrix::scan::kFirstMapPageOffset;
using kestrix::scan::kIntervalBytes;
using kestrix::scan::kPageSize;

namespace {

void put(const fs::path& dir, const std::string& name, const std::vector<std::byte>& bytes) {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out.flush()) {
    std::cerr << "make_seeds: cannot write " << (dir / name) << '\n';
    std::exit(1);
  }
}

std::vector<std::byte> mapPage(std::int32_t id) {
  return kestrix::rebuild::makeMapPage(kFirstMapPageOffset + std::int64_t(id) * kIntervalBytes, std::uint64_t(id));
}

std::vector<std::byte> noise(std::size_t n, std::uint64_t seed) {
  std::vector<std::byte> out(n);
  kestrix::rebuild::fillNoise(out, seed);
  return out;
}

void append(std::vector<std::byte>& to, const std::vector<std::byte>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

std::vector<std::byte> program(std::mt19937& rng, bool raw) {
  std::vector<std::byte> out{std::byte(rng() % 3), std::byte(rng()), std::byte(rng())};
  for (int i = 0; i < 200; ++i) {
    const unsigned r = rng() % 100;
    const unsigned op = r < 80 ? 0 : r < 86 ? 4 : r < 90 ? 5 : r < 97 || !raw ? 6 : 7;
    out.push_back(std::byte(op));
    for (int k = 0; k < 12; ++k) out.push_back(std::byte(rng()));  // operands; unused ones become later ops
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds DIR\n";
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* name : {"map_page", "fragment_walk", "rebuild_index", "pst_reader", "pst_trees"}) fs::create_directories(root / name);

  // Page test: a map page, a PST header, noise, and a short run with a map page inside.
  const auto pst = kestrix::rebuild::makeSyntheticPst(3, 42);
  put(root / "map_page", "map-page", mapPage(5));
  put(root / "map_page", "map-page-id0", mapPage(0));
  put(root / "map_page", "header", {pst.begin(), pst.begin() + kPageSize});
  put(root / "map_page", "noise", noise(kPageSize, 1));
  auto run = noise(kPageSize, 2);
  append(run, mapPage(7));
  append(run, noise(kPageSize + 100, 3));
  put(root / "map_page", "run", run);
  // An ext4 extent leaf of a 1 KiB block: three extents in order.
  std::vector<std::byte> leaf(1024);
  const auto le = [&](std::size_t at, std::uint64_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) leaf[at + i] = std::byte(v >> (8 * i));
  };
  le(0, 0xF30A, 2), le(2, 3, 2), le(4, 84, 2);
  for (std::size_t i = 0; i < 3; ++i) le(12 + 12 * i, 4 * i, 4), le(16 + 12 * i, 1 + i, 2), le(20 + 12 * i, 1000 + 50 * i, 4);
  put(root / "map_page", "extent-leaf", leaf);

  // Fragment walk: layouts built mostly of consecutive map pages.
  std::mt19937 rng(3);
  for (int i = 0; i < 4; ++i) put(root / "fragment_walk", "layout" + std::to_string(i), program(rng, i >= 2));

  // Index pass: intervals out of order with noise blocks, a repeated ID and a short tail.
  std::vector<std::byte> input{std::byte{0}};
  for (std::int32_t id : {3, 0, 1, 8, 2}) append(input, mapPage(id));
  append(input, noise(kPageSize, 4));
  append(input, mapPage(1));
  put(root / "rebuild_index", "shuffled", input);
  auto tailed = input;
  tailed[0] = std::byte{0x41};  // the last page starts a short tail
  append(tailed, mapPage(9));
  put(root / "rebuild_index", "tail", tailed);

  // PST reader: the sample's header, first allocation map and first blocks; then the same with
  // one node-tree and one block-tree leaf of the sample behind them (the target re-signs pages).
  std::ifstream sample(KESTRIX_TESTDATA_DIR "/enron.pst", std::ios::binary);
  std::vector<std::byte> head(24576);
  sample.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
  put(root / "pst_reader", "head", head);
  for (const std::streamoff leaf : {0xD45800, 0xD46400}) {  // a node-tree leaf, a block-tree leaf
    std::vector<std::byte> page(kPageSize);
    sample.seekg(leaf);
    sample.read(reinterpret_cast<char*>(page.data()), std::streamsize(page.size()));
    append(head, page);
  }
  put(root / "pst_reader", "head-and-leaves", head);

  // Tree recipes: all zeros (one page naming itself), and noise.
  put(root / "pst_trees", "zeros", std::vector<std::byte>(512));
  put(root / "pst_trees", "noise", noise(2048, 7));
  return 0;
}
