// Independent readers open what recover writes: pffinfo and pffexport (Debian pff-tools) and
// readpst (Debian pst-utils) must see the same folders and messages as in the original.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "cli/commands.h"
#include "recover/sample_image.h"
#include "format/map_page.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

bool have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int sh(const std::string& command) { return std::system(command.c_str()); }

struct ReaderView {
  std::string pffinfo;       // pffinfo -a, whole output (it names no path)
  int pffFolders = 0;        // folders pffexport wrote
  int pffMessages = 0;       // Message* items pffexport wrote
  int readpstFolders = 0;    // "Processing Folder" lines
  int readpstItems = 0;      // sum of "N items done"
};

ReaderView read(const std::string& pst, const std::string& work) {
  ReaderView v;
  std::filesystem::create_directories(work);
  EXPECT_EQ(sh("pffinfo -a '" + pst + "' >'" + work + "/info' 2>&1"), 0) << slurp(work + "/info");
  v.pffinfo = slurp(work + "/info");
  EXPECT_EQ(sh("cd '" + work + "' && pffexport -q -t export '" + pst + "' >pffexport.log 2>&1"), 0)
      << slurp(work + "/pffexport.log");
  for (const auto& e : std::filesystem::recursive_directory_iterator(work + "/export.export")) {
    if (!e.is_directory()) continue;
    if (e.path().filename().string().starts_with("Message")) ++v.pffMessages;
    else if (e.path().parent_path().filename() != "Attachments") ++v.pffFolders;
  }
  std::filesystem::create_directories(work + "/readpst");
  EXPECT_EQ(sh("readpst -j 0 -D -o '" + work + "/readpst' '" + pst + "' >'" + work + "/readpst.log' 2>&1"), 0)
      << slurp(work + "/readpst.log");
  const std::string log = slurp(work + "/readpst.log");
  const std::regex folder("Processing Folder"), items(R"((\d+) items done)");
  v.readpstFolders = int(std::distance(std::sregex_iterator(log.begin(), log.end(), folder), std::sregex_iterator()));
  for (std::sregex_iterator it(log.begin(), log.end(), items), end; it != end; ++it) v.readpstItems += std::stoi((*it)[1]);
  return v;
}

}  // namespace

TEST(RecoverReaders, PffAndReadpstSeeTheSameMailboxAsInTheOriginal) {
  if (!have("pffinfo") || !have("pffexport") || !have("readpst"))
    GTEST_SKIP() << "pff-tools (pffinfo, pffexport) or pst-utils (readpst) is not installed; "
                    "scripts/install-deps.sh installs them";
  TempDir dir;
  const auto& pst = test::enronPst();
  rebuild::ImageBuilder image(404);
  image.noise(1500);
  image.appendIntervals(pst, 30, 25);
  image.noise(64);
  const std::int64_t headerSector = image.append(std::span(pst).first(std::size_t(scan::kFirstMapPageOffset)));
  image.appendIntervals(pst, 0, 30);
  image.noise(1500);
  const ReaderView original = read(test::enronPath(), dir.file("original"));
  EXPECT_GT(original.pffMessages, 0);
  EXPECT_GT(original.readpstItems, 0);
  EXPECT_GT(original.pffFolders, 1);
  EXPECT_GT(original.readpstFolders, 1);
  EXPECT_NE(original.pffinfo.find("Personal Storage Tables"), std::string::npos);

  // As found, and with the header's first sector lost (a header is built from the file).
  auto bytes = image.bytes();
  for (const std::string name : {"whole", "lost-header"}) {
    SCOPED_TRACE(name);
    test::writeFile(dir.file(name + ".img"), bytes);
    const test::CliOutcome r = test::runCliArgs({"recover", dir.file(name + ".img"), "-o", dir.file(name), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const ReaderView recovered = read(dir.file(name + "/file1.pst"), dir.file(name + "-read"));
    if (name == "whole") {
      EXPECT_EQ(recovered.pffinfo, original.pffinfo);
    }
    EXPECT_EQ(recovered.pffFolders, original.pffFolders);
    EXPECT_EQ(recovered.pffMessages, original.pffMessages);
    EXPECT_EQ(recovered.readpstFolders, original.readpstFolders);
    EXPECT_EQ(recovered.readpstItems, original.readpstItems);
    std::fill_n(bytes.begin() + headerSector * 512, 512, std::byte{0});
  }
}
