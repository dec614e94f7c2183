// Disk images in containers, made at test time from the example's disk image with the
// formats' own tools (ewfacquirestream, qemu-img), read through openSource like a raw image.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <regex>

#include "io/byte_source.h"
#include "scan/scan.h"
#include "sources/image_source.h"
#include "sources/open_source.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

void shell(const std::string& command) {
  std::string output;
  ASSERT_EQ(test::runShell(command, &output), 0) << command << "\n" << output;
}

// The example's disk image (enron.pst in three pieces out of order, a synthetic file, noise),
// made once into dir.
std::string exampleImage(const TempDir& dir) {
  const auto r = test::runCliArgs({"example", "--dir", dir.file("example"), "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  return dir.file("example/disk.img");
}

// img_offset and len of every byte run of report.xml, in order.
std::vector<std::string> offsetsOf(const std::string& folder) {
  const auto bytes = test::readFile(folder + "/report.xml");
  const std::string xml(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::regex run(R"re(img_offset="\d+"(?: fill="0")? len="\d+")re");
  std::vector<std::string> out;
  for (std::sregex_iterator it(xml.begin(), xml.end(), run), end; it != end; ++it) out.push_back(it->str());
  return out;
}

std::vector<std::byte> readAll(scan::ByteSource& src, std::int64_t length, std::vector<scan::SectorRun>& unreadable) {
  std::vector<std::byte> bytes(std::size_t(length), std::byte{0});
  for (std::int64_t at = 0; at < length; at += 4 << 20)
    scan::readSectorsRetrying(src, at, std::span(bytes).subspan(std::size_t(at), std::size_t(std::min<std::int64_t>(4 << 20, length - at))),
                              unreadable);
  return bytes;
}

}  // namespace

TEST(ImageSource, EachContainerReadsAsTheRawImageAndRecoversTheMailbox) {
  TempDir dir;
  const std::string raw = exampleImage(dir);
  const auto rawBytes = test::readFile(raw);
  const auto base = test::runCliArgs({"recover", raw, "-o", dir.file("raw-out"), "--report", "-q"});
  ASSERT_EQ(base.status, 0) << base.err;
  const auto baseOffsets = offsetsOf(dir.file("raw-out"));
  ASSERT_FALSE(baseOffsets.empty());

  struct Case {
    std::string file, format, command;
  };
  const std::vector<Case> cases = {
      // Compressed, split into segments of 3 MiB: read from the first of six.
      {"set.E01", "E01", "ewfacquirestream -q -c deflate:fast -S 3MiB -t " + dir.file("set") + " < " + raw},
      {"disk.qcow2", "qcow2", "qemu-img convert -c -f raw -O qcow2 " + raw + " " + dir.file("disk.qcow2")},
      {"disk.vmdk", "VMDK", "qemu-img convert -f raw -O vmdk -o subformat=streamOptimized " + raw + " " + dir.file("disk.vmdk")},
      {"dynamic.vhd", "VHD", "qemu-img convert -f raw -O vpc " + raw + " " + dir.file("dynamic.vhd")},
      {"fixed.vhd", "VHD", "qemu-img convert -f raw -O vpc -o subformat=fixed " + raw + " " + dir.file("fixed.vhd")},
      {"disk.vhdx", "VHDX", "qemu-img convert -f raw -O vhdx " + raw + " " + dir.file("disk.vhdx")},
      // Known by its content, whatever its name; a VMDK holding its own data is read from the file
      // given, though its descriptor still names the file it was made as.
      {"qcow2-named.img", "qcow2", "cp " + dir.file("disk.qcow2") + " " + dir.file("qcow2-named.img")},
      {"moved/other.vmdk", "VMDK", "mkdir " + dir.file("moved") + " && cp " + dir.file("disk.vmdk") + " " + dir.file("moved/other.vmdk")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    shell(c.command + " >/dev/null");
    const std::string path = dir.file(c.file);
    {
      const auto src = sources::openSource(path);
      EXPECT_EQ(src->container(), c.format);
      EXPECT_EQ(src->name(), path);
      // A VHD's media may be rounded up to whole cylinders: the raw image is its start.
      if (c.format == "VHD") EXPECT_GE(src->size(), std::int64_t(rawBytes.size()));
      else EXPECT_EQ(src->size(), std::int64_t(rawBytes.size()));
      std::vector<scan::SectorRun> unreadable;
      EXPECT_TRUE(readAll(*src, std::int64_t(rawBytes.size()), unreadable) == rawBytes);
      EXPECT_TRUE(unreadable.empty());
    }
    const std::string out = dir.file(c.file + "-out");
    const auto r = test::runCliArgs({"recover", path, "-o", out, "--report", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::readFile(out + "/file2.pst") == test::enronPst());
    EXPECT_EQ(offsetsOf(out), baseOffsets);
    const auto report = test::readFile(out + "/report.xml");
    EXPECT_NE(std::string(reinterpret_cast<const char*>(report.data()), report.size())
                  .find("<image_filename>" + path + "</image_filename>"),
              std::string::npos);
  }
  EXPECT_EQ(sources::openSource(dir.file("set.E01"))->identities().size(), 6u);

  // Nothing is written onto any file of the set being read.
  const auto onto = test::runCliArgs({"extract", dir.file("set.E01"), "--fragments", "1", "-o", dir.file("set.E03")});
  EXPECT_NE(onto.status, 0);
  EXPECT_NE(onto.err.find("It is one of the files of the image \"" + dir.file("set.E01") + "\""), std::string::npos)
      << onto.err;

  // A segment missing from the middle of the set: what the segments before it hold is read, and
  // the missing one is named as the reason the rest cannot be.
  std::filesystem::remove(dir.file("set.E03"));
  const auto gap = sources::openSource(dir.file("set.E01"));
  EXPECT_EQ(gap->missingFiles(), std::vector<std::string>{dir.file("set.E03")});
  std::vector<std::byte> start(1 << 20);
  EXPECT_EQ(gap->readAt(0, start), start.size());
  EXPECT_TRUE(std::equal(start.begin(), start.end(), rawBytes.begin()));
  const auto scanned = test::runCliArgs({"scan", dir.file("set.E01"), "-q"});
  EXPECT_NE(scanned.err.find("\"" + dir.file("set.E03") + "\", a segment of the image \"" + dir.file("set.E01") + "\", is missing"),
            std::string::npos)
      << scanned.err;
}

// A chunk of an E01 damaged by hand fails its checksum: its 64 sectors are reported unreadable,
// and every other byte still reads as the raw image's. The same for a qcow2 cluster.
TEST(ImageSource, ADamagedE01ChunkIsLostAloneAndReported) {
  TempDir dir;
  const std::string raw = exampleImage(dir);
  const auto rawBytes = test::readFile(raw);
  shell("ewfacquirestream -q -c deflate:fast -t " + dir.file("disk") + " < " + raw + " >/dev/null");
  // Chunk 20 lies in noise, which the writer keeps uncompressed: find it and change a byte.
  constexpr std::size_t kChunk = 32 * 1024, kBad = 20;
  auto e01 = test::readFile(dir.file("disk.E01"));
  const auto at = std::search(e01.begin(), e01.end(), rawBytes.begin() + kBad * kChunk,
                              rawBytes.begin() + kBad * kChunk + 64);
  ASSERT_NE(at, e01.end());
  at[1000] ^= std::byte{0xFF};
  test::writeFile(dir.file("disk.E01"), e01);

  const auto src = sources::openSource(dir.file("disk.E01"));
  std::atomic<bool> stop{false};
  const scan::ScanResult scanned = scan::scanSource(*src, stop, {});
  const std::vector<scan::SectorRun> chunk{{std::int64_t(kBad * kChunk / 512), 64}};
  EXPECT_EQ(scanned.unreadable, chunk);
  std::vector<scan::SectorRun> unreadable;
  auto read = readAll(*src, src->size(), unreadable);
  EXPECT_EQ(scan::mergeSectorRuns(unreadable), chunk);
  auto expected = rawBytes;
  std::fill_n(expected.begin() + kBad * kChunk, kChunk, std::byte{0});
  EXPECT_TRUE(read == expected);

  const auto r = test::runCliArgs({"recover", dir.file("disk.E01"), "-o", dir.file("out"), "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("64 sectors of \"" + dir.file("disk.E01") + "\" could not be read and were skipped: 1280-1343"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(test::readFile(dir.file("out/file2.pst")) == test::enronPst());

  // A compressed qcow2 cluster that no longer inflates: its 64 KiB alone are lost.
  shell("qemu-img convert -c -f raw -O qcow2 " + test::enronPath() + " " + dir.file("mail.qcow2"));
  auto qcow = test::readFile(dir.file("mail.qcow2"));
  for (std::size_t i = qcow.size() / 2; i < qcow.size() / 2 + 400; ++i) qcow[i] ^= std::byte{0x5A};
  test::writeFile(dir.file("mail.qcow2"), qcow);
  const auto mail = sources::openSource(dir.file("mail.qcow2"));
  unreadable.clear();
  read = readAll(*mail, mail->size(), unreadable);
  unreadable = scan::mergeSectorRuns(unreadable);
  ASSERT_FALSE(unreadable.empty());
  expected = test::enronPst();
  for (const scan::SectorRun& run : unreadable) {
    EXPECT_EQ(run.first % 128, 0);
    EXPECT_LE(run.count, 256);
    std::fill_n(expected.begin() + run.first * 512, run.count * 512, std::byte{0});
  }
  EXPECT_TRUE(read == expected);
}

// What cannot be read as the disk it holds is refused by name, with the reason, never read as
// raw bytes.
TEST(ImageSource, ContainersThatCannotBeReadAreRefusedWithTheReason) {
  TempDir dir;
  shell("qemu-img create -q -f qcow2 " + dir.file("base.qcow2") + " 8M && qemu-img create -q -f qcow2 -F qcow2 -b " +
        dir.file("base.qcow2") + " " + dir.file("child.qcow2") + " && head -c 1000 " + dir.file("base.qcow2") +
        " > " + dir.file("cut.qcow2"));
  EXPECT_EQ(test::messageOf([&] { sources::openSource(dir.file("child.qcow2")); }),
            "Cannot read \"" + dir.file("child.qcow2") + "\" as a qcow2 image. It holds only the changes to the image \"" +
                dir.file("base.qcow2") + "\"; open a copy converted to a standalone image (qemu-img convert)");
  const std::string cut = test::messageOf([&] { sources::openSource(dir.file("cut.qcow2")); });
  EXPECT_TRUE(cut.starts_with("Cannot read \"" + dir.file("cut.qcow2") + "\" as a qcow2 image. ")) << cut;

  // Only the start or a fixed VHD's footer tells: a raw image is read as it is.
  std::vector<std::byte> head(512), tail(512);
  std::memcpy(tail.data(), "conectix", 8);
  EXPECT_EQ(sources::imageFormatOf(head, tail), sources::ImageFormat::Vhd);
  EXPECT_EQ(sources::imageFormatOf(tail, head), sources::ImageFormat::Vhd);
  EXPECT_EQ(sources::imageFormatOf(head, head), sources::ImageFormat::Raw);
  std::memcpy(head.data(), "QFI\xfb", 4);
  EXPECT_EQ(sources::imageFormatOf(head, {}), sources::ImageFormat::Qcow);
}
