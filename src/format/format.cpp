#include "format/format.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace kestrix::pst {

namespace {

// The byte-substitution table of the format's block encodings: three 256-byte tables, the
// forward permutation, the self-inverse one the cyclic encoding adds, and the inverse.
constexpr std::uint8_t kCryptTable[768] = {
     65,  54,  19,  98, 168,  33, 110, 187, 244,  22, 204,   4, 127, 100, 232,  93,
     30, 242, 203,  42, 116, 197,  94,  53, 210, 149,  71, 158, 150,  45, 154, 136,
     76, 125, 132,  63, 219, 172,  49, 182,  72,  95, 246, 196, 216,  57, 139, 231,
     35,  59,  56, 142, 200, 193, 223,  37, 177,  32, 165,  70,  96,  78, 156, 251,
    170, 211,  86,  81,  69, 124,  85,   0,   7, 201,  43, 157, 133, 155,   9, 160,
    143, 173, 179,  15,  99, 171, 137,  75, 215, 167,  21,  90, 113, 102,  66, 191,
     38,  74, 107, 152, 250, 234, 119,  83, 178, 112,   5,  44, 253,  89,  58, 134,
    126, 206,   6, 235, 130, 120,  87, 199, 141,  67, 175, 180,  28, 212,  91, 205,
    226, 233,  39,  79, 195,   8, 114, 128, 207, 176, 239, 245,  40, 109, 190,  48,
     77,  52, 146, 213,  14,  60,  34,  50, 229, 228, 249, 159, 194, 209,  10, 129,
     18, 225, 238, 145, 131, 118, 227, 151, 230,  97, 138,  23, 121, 164, 183, 220,
    144, 122,  92, 140,   2, 166, 202, 105, 222,  80,  26,  17, 147, 185,  82, 135,
     88, 252, 237,  29,  55,  73,  27, 106, 224,  41,  51, 153, 189, 108, 217, 148,
    243,  64,  84, 111, 240, 198, 115, 184, 214,  62, 101,  24,  68,  31, 221, 103,
     16, 241,  12,  25, 236, 174,   3, 161,  20, 123, 169,  11, 255, 248, 163, 192,
    162,   1, 247,  46, 188,  36, 104, 117,  13, 254, 186,  47, 181, 208, 218,  61,
     20,  83,  15,  86, 179, 200, 122, 156, 235, 101,  72,  23,  22,  21, 159,   2,
    204,  84, 124, 131,   0,  13,  12,  11, 162,  98, 168, 118, 219, 217, 237, 199,
    197, 164, 220, 172, 133, 116, 214, 208, 167, 155, 174, 154, 150, 113, 102, 195,
     99, 153, 184, 221, 115, 146, 142, 132, 125, 165,  94, 209,  93, 147, 177,  87,
     81,  80, 128, 137,  82, 148,  79,  78,  10, 107, 188, 141, 127, 110,  71,  70,
     65,  64,  68,   1,  17, 203,   3,  63, 247, 244, 225, 169, 143,  60,  58, 249,
    251, 240,  25,  48, 130,   9,  46, 201, 157, 160, 134,  73, 238, 111,  77, 109,
    196,  45, 129,  52,  37, 135,  27, 136, 170, 252,   6, 161,  18,  56, 253,  76,
     66, 114, 100,  19,  55,  36, 106, 117, 119,  67, 255, 230, 180,  75,  54,  92,
    228, 216,  53,  61,  69, 185,  44, 236, 183,  49,  43,  41,   7, 104, 163,  14,
    105, 123,  24, 158,  33,  57, 190,  40,  26,  91, 120, 245,  35, 202,  42, 176,
    175,  62, 254,   4, 140, 231, 229, 152,  50, 149, 211, 246,  74, 232, 166, 234,
    233, 243, 213,  47, 112,  32, 242,  31,   5, 103, 173,  85,  16, 206, 205, 227,
     39,  59, 218, 186, 215, 194,  38, 212, 145,  29, 210,  28,  34,  51, 248, 250,
    241,  90, 239, 207, 144, 182, 139, 181, 189, 192, 191,   8, 151,  30, 108, 226,
     97, 224, 198, 193,  89, 171, 187,  88, 222,  95, 223,  96, 121, 126, 178, 138,
     71, 241, 180, 230,  11, 106, 114,  72, 133,  78, 158, 235, 226, 248, 148,  83,
    224, 187, 160,   2, 232,  90,   9, 171, 219, 227, 186, 198, 124, 195,  16, 221,
     57,   5, 150,  48, 245,  55,  96, 130, 140, 201,  19,  74, 107,  29, 243, 251,
    143,  38, 151, 202, 145,  23,   1, 196,  50,  45, 110,  49, 149, 255, 217,  35,
    209,   0,  94, 121, 220,  68,  59,  26,  40, 197,  97,  87,  32, 144,  61, 131,
    185,  67, 190, 103, 210,  70,  66, 118, 192, 109,  91, 126, 178,  15,  22,  41,
     60, 169,   3,  84,  13, 218,  93, 223, 246, 183, 199,  98, 205, 141,   6, 211,
    105,  92, 134, 214,  20, 247, 165, 102, 117, 172, 177, 233,  69,  33, 112,  12,
    135, 159, 116, 164,  34,  76, 111, 191,  31,  86, 170,  46, 179, 120,  51,  80,
    176, 163, 146, 188, 207,  25,  28, 167,  99, 203,  30,  77,  62,  75,  27, 155,
     79, 231, 240, 238, 173,  58, 181,  89,   4, 234,  64,  85,  37,  81, 229, 122,
    137,  56, 104,  82, 123, 252,  39, 174, 215, 189, 250,   7, 244, 204, 142,  95,
    239,  53, 156, 132,  43,  21, 213, 119,  52,  73, 182,  18,  10, 127, 113, 136,
    253, 157,  24,  65, 125, 147, 216,  88,  44, 206, 254,  36, 175, 222, 184,  54,
    200, 161, 128, 166, 153, 152, 168,  47,  14, 129, 101, 115, 228, 194, 162, 138,
    212, 225,  17, 208,   8, 139,  42, 242, 237, 154, 100,  63, 193, 108, 249, 236,
};
constexpr const std::uint8_t* kForward = kCryptTable;
constexpr const std::uint8_t* kMiddle = kCryptTable + 256;
constexpr const std::uint8_t* kInverse = kCryptTable + 512;

// Header field offsets of the Unicode layout, which isHeaderSector reads.
constexpr const HeaderGeometry& kUnicodeHeader = kUnicodeGeometry.header;

std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}

const std::array<std::uint32_t, 256>& crcTable() {
  static const std::array<std::uint32_t, 256> table = makeCrcTable();
  return table;
}

#define KESTRIX_CLMUL __attribute__((target("pclmul,sse4.1")))
#define KESTRIX_WIDE_CLMUL __attribute__((target("pclmul,sse4.1,avx512f,avx512vl,vpclmulqdq")))

KESTRIX_CLMUL inline __m128i loadLane(const std::byte* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
KESTRIX_CLMUL inline __m128i foldLane(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Folds the four 16-byte lanes x1..x4 (in data order) into one, then the `len` bytes left at
// p (a multiple of 16), and reduces to 32 bits (Barrett).
KESTRIX_CLMUL inline std::uint32_t crcFinish(__m128i x1, __m128i x2, __m128i x3, __m128i x4, const std::byte* p,
                                             std::size_t len) {
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124LL);
  const __m128i poly = _mm_set_epi64x(0x1f7011641LL, 0x1db710641LL);
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const auto load = loadLane;
  const auto fold = foldLane;
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; len >= 16; len -= 16, p += 16) x1 = fold(x1, k3k4, load(p));

  // 128 -> 64 bits, then 64 -> 32 bits.
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
  __m128i high = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), high);
  // Barrett reduction.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return std::uint32_t(_mm_extract_epi32(x1, 1));
}

// Folds 16-byte lanes with carry-less multiplication and reduces to 32 bits (Barrett); the
// constants are powers of x modulo the polynomial, bit-reflected. len is a multiple of 16, at
// least 64.
KESTRIX_CLMUL std::uint32_t crcFolded(const std::byte* p, std::size_t len, std::uint32_t crc) {
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
  const auto load = loadLane;
  const auto fold = foldLane;
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  len -= 64;
  for (; len >= 64; len -= 64, p += 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
  }
  return crcFinish(x1, x2, x3, x4, p, len);
}

KESTRIX_WIDE_CLMUL inline __m512i loadWide(const std::byte* at) { return _mm512_loadu_si512(at); }
KESTRIX_WIDE_CLMUL inline __m512i foldWide(__m512i x, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                   0x96);  // a ^ b ^ c
}

// As crcFolded, four 64-byte lanes at a time with the 512-bit form of the multiplication. len
// is a multiple of 16, at least 256.
KESTRIX_WIDE_CLMUL std::uint32_t crcFoldedWide(const std::byte* p, std::size_t len, std::uint32_t crc) {
  // Each 128-bit lane: x^(2048 - 32) and x^(2048 + 32), then x^(512 - 32) and x^(512 + 32).
  const __m512i by256 = _mm512_set_epi64(0x1322d1430LL, 0x11542778aLL, 0x1322d1430LL, 0x11542778aLL, 0x1322d1430LL,
                                         0x11542778aLL, 0x1322d1430LL, 0x11542778aLL);
  const __m512i by64 = _mm512_set_epi64(0x1c6e41596LL, 0x154442bd4LL, 0x1c6e41596LL, 0x154442bd4LL, 0x1c6e41596LL,
                                        0x154442bd4LL, 0x1c6e41596LL, 0x154442bd4LL);
  const auto load = loadWide;
  const auto fold = foldWide;
  __m512i z1 = _mm512_xor_si512(load(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(crc))));
  __m512i z2 = load(p + 64), z3 = load(p + 128), z4 = load(p + 192);
  p += 256;
  len -= 256;
  for (; len >= 256; len -= 256, p += 256) {
    z1 = fold(z1, by256, load(p));
    z2 = fold(z2, by256, load(p + 64));
    z3 = fold(z3, by256, load(p + 128));
    z4 = fold(z4, by256, load(p + 192));
  }
  z1 = fold(z1, by64, z2);
  z1 = fold(z1, by64, z3);
  z1 = fold(z1, by64, z4);
  for (; len >= 64; len -= 64, p += 64) z1 = fold(z1, by64, load(p));
  alignas(64) std::byte lanes[64];
  _mm512_store_si512(lanes, z1);
  return crcFinish(loadLane(lanes), loadLane(lanes + 16), loadLane(lanes + 32), loadLane(lanes + 48), p, len);
}

bool haveWideCarrylessMultiply() {
  static const bool have = __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("avx512vl");
  return have;
}

bool haveCarrylessMultiply() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}

void cyclic(std::span<std::byte> data, std::uint32_t key) {
  std::uint16_t w = std::uint16_t(key ^ (key >> 16));
  for (std::byte& byte : data) {
    std::uint8_t b = std::to_integer<std::uint8_t>(byte);
    b = std::uint8_t(b + std::uint8_t(w));
    b = kForward[b];
    b = std::uint8_t(b + std::uint8_t(w >> 8));
    b = kMiddle[b];
    b = std::uint8_t(b - std::uint8_t(w >> 8));
    b = kInverse[b];
    b = std::uint8_t(b - std::uint8_t(w));
    byte = std::byte(b);
    ++w;
  }
}

void substitute(std::span<std::byte> data, const std::uint8_t* table) {
  for (std::byte& b : data) b = std::byte(table[std::to_integer<std::uint8_t>(b)]);
}

std::uint64_t readField(Bytes b, Field f) {
  switch (f.size) {
    case 1: return std::to_integer<std::uint8_t>(b[f.at]);
    case 2: return le16(b, f.at);
    case 4: return le32(b, f.at);
    default: return le64(b, f.at);
  }
}
void putField(std::span<std::byte> b, Field f, std::uint64_t v) {
  switch (f.size) {
    case 0: break;
    case 1: b[f.at] = std::byte(v); break;
    case 2: putLe16(b, f.at, std::uint16_t(v)); break;
    case 4: putLe32(b, f.at, std::uint32_t(v)); break;
    default: putLe64(b, f.at, v);
  }
}
// A BID and an offset, each `idSize` bytes wide.
BlockRef readRef(Bytes b, std::size_t at, std::size_t idSize) {
  return {readField(b, {at, idSize}), readField(b, {at + idSize, idSize})};
}
void putRef(std::span<std::byte> b, std::size_t at, BlockRef ref, std::size_t idSize) {
  putField(b, {at, idSize}, ref.bid);
  putField(b, {at + idSize, idSize}, ref.offset);
}
bool headerCrcHolds(Bytes b, std::size_t crcAt, std::size_t length) {
  return crc(b.subspan(8, length)) == le32(b, crcAt);
}

std::size_t entrySize(std::uint8_t type, std::uint8_t level, const Geometry& g) {
  return (type == kPageNodeTree && level == 0) ? g.treePage.nodeLeafEntrySize : g.treePage.entrySize;
}

// The trailer that ends `page` (g.pageSize bytes), its CRC over all before it.
void putPageTrailer(std::span<std::byte> page, std::uint8_t type, std::uint16_t sig, std::uint64_t bid, const Geometry& g) {
  const PageTrailerGeometry& at = g.pageTrailer;
  const std::span<std::byte> t = page.subspan(g.pageTrailerAt(), at.size);
  t[at.typeAt] = t[at.typeRepeatAt] = std::byte(type);
  putLe16(t, at.sigAt, sig);
  putField(t, at.bid, bid);
  putField(t, at.filler, at.fillerValue);
  putField(t, at.crc, crc(Bytes(page).first(g.pageTrailerAt())));
}

}  // namespace

void putLe16(std::span<std::byte> b, std::size_t at, std::uint16_t v) {
  b[at] = std::byte(v & 0xFF);
  b[at + 1] = std::byte(v >> 8);
}
void putLe32(std::span<std::byte> b, std::size_t at, std::uint32_t v) {
  putLe16(b, at, std::uint16_t(v));
  putLe16(b, at + 2, std::uint16_t(v >> 16));
}
void putLe64(std::span<std::byte> b, std::size_t at, std::uint64_t v) {
  putLe32(b, at, std::uint32_t(v));
  putLe32(b, at + 4, std::uint32_t(v >> 32));
}

std::uint32_t crcByTable(Bytes data, std::uint32_t start) {
  const auto& table = crcTable();
  std::uint32_t c = start;
  for (std::byte b : data) c = table[(c ^ std::to_integer<std::uint8_t>(b)) & 0xFF] ^ (c >> 8);
  return c;
}

std::uint32_t crc(Bytes data, std::uint32_t start) {
  if (data.size() < 64 || !haveCarrylessMultiply()) return crcByTable(data, start);
  const std::size_t folded = data.size() & ~std::size_t(15);
  const std::uint32_t c = folded >= 256 && haveWideCarrylessMultiply() ? crcFoldedWide(data.data(), folded, start)
                                                                        : crcFolded(data.data(), folded, start);
  return crcByTable(data.subspan(folded), c);
}

std::uint16_t signature(std::uint64_t offset, std::uint64_t bid) {
  const std::uint64_t x = offset ^ bid;
  return std::uint16_t((x >> 16) ^ x);
}

void decodeBlock(std::span<std::byte> data, Encoding encoding, std::uint64_t bid) {
  if (encoding == Encoding::Permute) substitute(data, kInverse);
  else if (encoding == Encoding::Cyclic) cyclic(data, std::uint32_t(bid));
}

void encodeBlock(std::span<std::byte> data, Encoding encoding, std::uint64_t bid) {
  if (encoding == Encoding::Permute) substitute(data, kForward);
  else if (encoding == Encoding::Cyclic) cyclic(data, std::uint32_t(bid));
}

std::optional<InternalBlock> parseInternalBlock(Bytes b, const Geometry& g) {
  if (b.size() < 4) return std::nullopt;
  InternalBlock out;
  out.type = std::to_integer<std::uint8_t>(b[0]);
  out.level = std::to_integer<std::uint8_t>(b[1]);
  const std::size_t count = le16(b, 2), id = g.idSize;
  // XBLOCK/XXBLOCK: type, level, count, total size, then BIDs. SLBLOCK: NID, data, sub;
  // SIBLOCK: NID, SLBLOCK; both after their header.
  const bool data = out.type == kBlockTypeData, subnode = out.type == kBlockTypeSubnode && out.level <= 1;
  if (!data && !subnode) return std::nullopt;
  const std::size_t at = data ? 8 : g.subnodeEntriesAt;
  const std::size_t entry = data ? id : out.level == 0 ? 3 * id : 2 * id;
  if (at > b.size() || count > (b.size() - at) / entry) return std::nullopt;
  out.entries.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e = at + i * entry;
    InternalEntry& to = out.entries[i];
    if (data) {
      to.bid = readField(b, {e, id});
    } else {
      to.nid = readField(b, {e, id});
      to.bid = readField(b, {e + id, id});
      if (out.level == 0) to.sub = readField(b, {e + 2 * id, id});
    }
  }
  return out;
}

std::vector<std::uint64_t> internalBlockRefs(Bytes b, const Geometry& g) {
  std::vector<std::uint64_t> out;
  const auto block = parseInternalBlock(b, g);
  if (!block) return out;
  for (const InternalEntry& e : block->entries) out.insert(out.end(), {e.bid, e.sub});
  std::erase(out, std::uint64_t(0));
  return out;
}

bool isHeaderSector(Bytes b) {
  return b.size() >= 8 + kUnicodeHeader.crcPartialLength && std::memcmp(b.data(), "!BDN", 4) == 0 &&
         headerCrcHolds(b, kUnicodeHeader.crcPartialAt, kUnicodeHeader.crcPartialLength);
}

ParsedHeader parseHeader(Bytes b, FileLayout reading) {
  ParsedHeader out;
  if (b.size() < kHeaderVersionAt + 2 || std::memcmp(b.data(), "!BDN", 4) != 0) return out;
  const std::uint16_t version = le16(b, kHeaderVersionAt);
  const Geometry* g = geometryOf(layoutOf(version));
  if (b.size() < (g ? g->header.size : kHeaderSize)) return out;
  out.layout = layoutOf(version);
  Header& h = out.header;
  h.version = version;
  if (!g) {
    out.state = HeaderState::NotUnicode;
    return out;
  }
  const HeaderGeometry& at = g->header;
  h.clientVersion = le16(b, at.clientVersionAt);
  h.nextPageBid = readField(b, at.nextPageBid);
  h.nextBlockBid = readField(b, at.nextBlockBid);
  h.unique = le32(b, at.uniqueAt);
  for (std::size_t i = 0; i < h.nextNid.size(); ++i) h.nextNid[i] = le32(b, at.nextNidAt + 4 * i);
  h.fileEof = readField(b, at.fileEof);
  h.lastAMap = readField(b, at.lastAMap);
  h.amapFree = readField(b, at.amapFree);
  h.pmapFree = readField(b, at.pmapFree);
  h.nodeRoot = {readField(b, at.nodeRootBid), readField(b, at.nodeRootOffset)};
  h.blockRoot = {readField(b, at.blockRootBid), readField(b, at.blockRootOffset)};
  h.amapValid = std::to_integer<std::uint8_t>(b[at.amapValidAt]);
  const auto encoding = std::to_integer<std::uint8_t>(b[at.encodingAt]);
  h.encoding = Encoding(encoding);
  out.crcsHold = headerCrcHolds(b, at.crcPartialAt, at.crcPartialLength) &&
                 (at.crcFullAt == 0 || headerCrcHolds(b, at.crcFullAt, at.crcFullLength));
  if (g->layout != reading) out.state = HeaderState::NotUnicode;
  else out.state = out.crcsHold && encoding <= 2 ? HeaderState::Sound : HeaderState::BadCrc;
  return out;
}

void buildHeader(const Header& h, std::span<std::byte> out, Bytes keep, const Geometry& g) {
  const HeaderGeometry& at = g.header;
  std::span<std::byte> b = out.first(at.size);
  if (keep.size() >= at.size) {
    std::copy_n(keep.begin(), at.size, b.begin());
  } else {
    std::fill(b.begin(), b.end(), std::byte{0});
    std::fill_n(b.begin() + std::ptrdiff_t(at.freeMapsAt), 256, std::byte{0xFF});
    b[14] = std::byte{1};  // bPlatformCreate
    b[15] = std::byte{1};  // bPlatformAccess
  }
  std::memcpy(b.data(), "!BDN", 4);
  std::memcpy(b.data() + 8, g.clientMagic, 2);
  putLe16(b, kHeaderVersionAt, h.version);
  putLe16(b, at.clientVersionAt, h.clientVersion);
  putField(b, at.nextPageBid, h.nextPageBid);
  putLe32(b, at.uniqueAt, h.unique);
  for (std::size_t i = 0; i < h.nextNid.size(); ++i) putLe32(b, at.nextNidAt + 4 * i, h.nextNid[i]);
  putLe32(b, at.rootAt, 0);
  putField(b, at.fileEof, h.fileEof);
  putField(b, at.lastAMap, h.lastAMap);
  putField(b, at.amapFree, h.amapFree);
  putField(b, at.pmapFree, h.pmapFree);
  putField(b, at.nodeRootBid, h.nodeRoot.bid);
  putField(b, at.nodeRootOffset, h.nodeRoot.offset);
  putField(b, at.blockRootBid, h.blockRoot.bid);
  putField(b, at.blockRootOffset, h.blockRoot.offset);
  b[at.amapValidAt] = std::byte{h.amapValid};
  b[at.sentinelAt] = std::byte{0x80};
  b[at.encodingAt] = std::byte(std::uint8_t(h.encoding));
  putField(b, at.nextBlockBid, h.nextBlockBid);
  putLe32(b, at.crcPartialAt, crc(Bytes(b).subspan(8, at.crcPartialLength)));
  if (at.crcFullAt != 0) putLe32(b, at.crcFullAt, crc(Bytes(b).subspan(8, at.crcFullLength)));
}

void sealHeader(std::span<std::byte> b) {
  const Geometry* g = geometryOf(layoutOf(le16(b, kHeaderVersionAt)));
  const HeaderGeometry& at = g ? g->header : kUnicodeHeader;
  putLe32(b, at.crcPartialAt, crc(Bytes(b).subspan(8, at.crcPartialLength)));
  if (at.crcFullAt != 0 && b.size() >= at.size) putLe32(b, at.crcFullAt, crc(Bytes(b).subspan(8, at.crcFullLength)));
}

PageTrailer pageTrailer(Bytes page, const Geometry& g) {
  const Bytes t = page.subspan(g.pageTrailerAt(), g.pageTrailer.size);
  return {std::to_integer<std::uint8_t>(t[g.pageTrailer.typeAt]), le16(t, g.pageTrailer.sigAt),
          std::uint32_t(readField(t, g.pageTrailer.crc)), readField(t, g.pageTrailer.bid)};
}

PageState pageState(Bytes page, std::uint64_t offset, const Geometry& g) {
  const PageTrailer t = pageTrailer(page, g);
  if (t.type != std::to_integer<std::uint8_t>(page[g.pageTrailerAt() + g.pageTrailer.typeRepeatAt])) return PageState::Invalid;
  if (t.type < kPageBlockTree || t.type > kPageFreePageMap) return PageState::Invalid;
  if ((t.type == kPageBlockTree || t.type == kPageNodeTree) ? t.sig != signature(offset, t.bid) : t.sig != 0)
    return PageState::Invalid;
  return crc(page.first(g.pageTrailerAt())) == t.crc ? PageState::Valid : PageState::CrcFailed;
}

std::size_t pageCapacity(std::uint8_t type, std::uint8_t level, const Geometry& g) {
  return g.treePage.entriesBytes / entrySize(type, level, g);
}

std::optional<TreePage> parseTreePage(Bytes page, const Geometry& g) {
  const TreePageGeometry& tp = g.treePage;
  TreePage out;
  out.type = std::to_integer<std::uint8_t>(page[g.pageTrailerAt() + g.pageTrailer.typeAt]);
  if (out.type != kPageBlockTree && out.type != kPageNodeTree) return std::nullopt;
  out.bid = pageTrailer(page, g).bid;
  const std::size_t count = std::size_t(readField(page, tp.count));
  const std::size_t size = std::to_integer<std::size_t>(page[tp.entrySizeAt]);
  out.level = std::to_integer<std::uint8_t>(page[tp.levelAt]);
  if (out.level > 8 || size != entrySize(out.type, out.level, g) || count > pageCapacity(out.type, out.level, g))
    return std::nullopt;
  const std::size_t id = g.idSize;
  out.entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = i * size;
    TreeEntry e;
    e.key = readField(page, {at, id});
    if (out.level > 0) {
      e.child = readRef(page, at + id, id);
    } else if (out.type == kPageNodeTree) {
      e.key &= 0xFFFFFFFFu;
      e.data = readField(page, {at + id, id});
      e.sub = readField(page, {at + 2 * id, id});
      e.parent = le32(page, at + 3 * id);
    } else {
      e.child = readRef(page, at, id);
      e.size = le16(page, at + 2 * id);
      e.refs = le16(page, at + tp.blockRefsAt);
      if (tp.blockInflatedAt != 0) e.inflated = le16(page, at + tp.blockInflatedAt);
    }
    out.entries.push_back(e);
  }
  return out;
}

std::vector<std::byte> buildTreePage(const TreePage& page, std::uint64_t offset, const Geometry& g) {
  const TreePageGeometry& tp = g.treePage;
  std::vector<std::byte> b(g.pageSize);
  const std::size_t size = entrySize(page.type, page.level, g), id = g.idSize;
  for (std::size_t i = 0; i < page.entries.size(); ++i) {
    const TreeEntry& e = page.entries[i];
    const std::size_t at = i * size;
    if (page.level > 0) {
      putField(b, {at, id}, e.key);
      putRef(b, at + id, e.child, id);
    } else if (page.type == kPageNodeTree) {
      putField(b, {at, id}, e.key);
      putField(b, {at + id, id}, e.data);
      putField(b, {at + 2 * id, id}, e.sub);
      putLe32(b, at + 3 * id, e.parent);
    } else {
      putRef(b, at, e.child, id);
      putLe16(b, at + 2 * id, e.size);
      if (tp.blockInflatedAt != 0) putLe16(b, at + tp.blockInflatedAt, e.inflated);
      putLe16(b, at + tp.blockRefsAt, e.refs);
    }
  }
  putField(b, tp.count, page.entries.size());
  putField(b, tp.maxCount, pageCapacity(page.type, page.level, g));
  b[tp.entrySizeAt] = std::byte(size);
  b[tp.levelAt] = std::byte(page.level);
  putPageTrailer(b, page.type, signature(offset, page.bid), page.bid, g);
  return b;
}

std::vector<std::byte> buildMapPage(std::uint8_t type, std::span<const std::uint8_t> bits, std::uint64_t offset,
                                    const Geometry& g) {
  std::vector<std::byte> b(g.pageSize);
  for (std::size_t i = 0; i < std::min(bits.size(), g.mapBits.size); ++i) b[g.mapBits.at + i] = std::byte(bits[i]);
  putPageTrailer(b, type, 0, offset, g);
  return b;
}

BlockTrailer blockTrailer(Bytes t, const Geometry& g) {
  const BlockTrailerGeometry& at = g.blockTrailer;
  const Field inflated = at.inflatedSize;
  return {le16(t, at.dataSizeAt), le16(t, at.sigAt), std::uint32_t(readField(t, at.crc)), readField(t, at.bid),
          inflated.size == 0 ? std::uint16_t(0) : le16(t, inflated.at)};
}

void putBlockTrailer(std::span<std::byte> t, const BlockTrailer& trailer, const Geometry& g) {
  const BlockTrailerGeometry& at = g.blockTrailer;
  std::fill_n(t.begin(), at.size, std::byte{0});
  putLe16(t, at.dataSizeAt, trailer.size);
  putLe16(t, at.sigAt, trailer.sig);
  putField(t, at.crc, trailer.crc);
  putField(t, at.bid, trailer.bid);
  putField(t, at.filler, at.fillerValue);
  putField(t, at.inflatedSize, trailer.inflated);
}

}  // namespace kestrix::pst
