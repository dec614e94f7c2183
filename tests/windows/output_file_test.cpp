// The Windows writer and reader: UTF-8 names through wide paths, the refusal of the source by
// file identity whatever the spelling of its path, replacement only at commit, the folder lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "io/output_file.h"
#include "io/byte_source.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

std::vector<std::byte> bytesOf(const std::string& text) {
  std::vector<std::byte> b;
  for (char c : text) b.push_back(std::byte(c));
  return b;
}

// Through the engine's reader: std::ifstream takes narrow names in the ANSI code page.
std::vector<std::byte> contents(const std::string& path) {
  scan::FileByteSource source(path);
  std::vector<std::byte> bytes(std::size_t(source.size()));
  scan::readExactly(source, 0, bytes);
  return bytes;
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
  return s;
}

TEST(WindowsOutput, UnicodeNamesReplaceOnlyAtCommitAndTheSourceIsRefusedUnderAnySpelling) {
  TempDir dir;
  const std::string folder = dir.path().string();
  const std::string target = folder + "\\\xE6\x95\xB0\xE6\x8D\xAE.pst";  // 数据.pst
  rebuild::writeWholeFile(target, bytesOf("old"), nullptr);
  {
    rebuild::OutputSet set(nullptr, {{target, 3, 3}});
    set.open(0).writeAt(0, bytesOf("new"));
    EXPECT_EQ(contents(target), bytesOf("old"));  // nothing at the name changes before commit
  }
  EXPECT_EQ(contents(target), bytesOf("old"));  // dropped: as it was, and no temporary file left
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  rebuild::writeWholeFile(target, bytesOf("newer"), nullptr);

  scan::FileByteSource source(target);
  ASSERT_EQ(source.size(), 5);
  std::vector<std::byte> back(5);
  scan::readExactly(source, 0, back);
  EXPECT_EQ(back, bytesOf("newer"));
  for (const std::string& spelling : {target, upper(target), folder + "/./" + "\xE6\x95\xB0\xE6\x8D\xAE.pst"})
    EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput(spelling, &source); }).find("itself"), std::string::npos)
        << spelling;
  EXPECT_EQ(messageOf([&] { rebuild::refuseUnsafeOutput(folder + "\\other.pst", &source); }), "(no error)");
  EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput(folder, &source); }).find("a folder"), std::string::npos);
}

TEST(WindowsOutput, OneRunAtATimeWritesIntoAFolderAndSystemTextsAreWhole) {
  TempDir dir;
  {
    rebuild::FolderLock first(dir.path().string());
    EXPECT_TRUE(first.held());
    EXPECT_NE(messageOf([&] { rebuild::FolderLock second(dir.path().string()); }).find("Another run"),
              std::string::npos);
  }
  {
    rebuild::FolderLock again(dir.path().string());  // released with the first
    EXPECT_TRUE(again.held());
  }
  // A file of the lock's name that Kestrix did not make is left alone, and the folder refused.
  rebuild::writeWholeFile(dir.file("mine"), bytesOf("mine"), nullptr);
  std::filesystem::rename(dir.path() / "mine", dir.path() / ".kestrix-lock");
  EXPECT_NE(messageOf([&] { rebuild::FolderLock planted(dir.path().string()); }).find("did not make"),
            std::string::npos);
  EXPECT_EQ(contents(dir.file(".kestrix-lock")), bytesOf("mine"));
  // FormatMessageW's text, as one sentence of the engine's messages.
  const std::string missing = messageOf([&] { scan::FileByteSource none(dir.file("none.img")); });
  EXPECT_EQ(missing.find("Cannot open file"), 0u) << missing;
  EXPECT_NE(missing.back(), '.');
  EXPECT_EQ(missing.find('\r'), std::string::npos);
  EXPECT_NE(messageOf([&] { scan::FileByteSource folder(dir.path().string()); }), "(no error)");
}

}  // namespace
}  // namespace kestrix::test
