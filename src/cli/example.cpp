// The built-in example: a disk image with PST files cut into fragments out of order, then
// the same scan, extraction and rebuild that a user runs.

#include <filesystem>
#include <fstream>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/pst_report.h"

#include <CLI/CLI.hpp>
#include "recover/extract.h"
#include "io/output_names.h"
#include "recover/rebuild.h"
#include "recover/recover_job.h"
#include "recover/sample_image.h"
#include "io/errors.h"
#include "format/map_page.h"
#include "sources/program_files.h"
#include "io/size_text.h"

namespace kestrix::cli {

namespace {

namespace fs = std::filesystem;

std::vector<std::byte> readWholeFile(const std::string& path) {
  scan::FileByteSource src(path);
  std::vector<std::byte> bytes(static_cast<std::size_t>(src.size()));
  scan::readExactly(src, 0, bytes);
  return bytes;
}

// A PST file hidden in the image, and the sectors where its pieces' first map pages lie.
struct Hidden {
  std::string name;
  std::vector<std::byte> bytes;
  std::vector<std::int64_t> pieceStarts;
};

// Appends intervals [first, first + count) of a file; with first == 0 the file's own header
// goes in front, as on a disk where the file's start survived.
void place(rebuild::ImageBuilder& image, Hidden& file, std::int32_t first, std::int32_t count) {
  if (first == 0) {
    const std::int64_t at = image.append(std::span(file.bytes).first(std::size_t(scan::kFirstMapPageOffset)));
    file.pieceStarts.push_back(at + scan::kFirstMapPageSector);
  } else {
    file.pieceStarts.push_back(image.sectors());
  }
  image.appendIntervals(file.bytes, first, count);
}

// The example cuts the file at the map intervals its header declares: it needs the header
// and every declared interval.
void refuseUnusablePst(const std::string& path, std::span<const std::byte> bytes) {
  const std::string what = "Cannot hide \"" + path + "\" in the example: ";
  if (bytes.size() < scan::kPageSize || !scan::HasPstMagic(bytes))
    throw Error(what + (bytes.empty() ? "it is empty" : "it does not begin with a PST header"));
  // The field is unsigned: a crafted 2^63 is not a negative length.
  const auto declared = static_cast<std::uint64_t>(scan::PstHeaderEndOffset(bytes.first<scan::kPageSize>()));
  const std::int64_t intervals = scan::PstHeaderIntervals(bytes.first<scan::kPageSize>());
  const std::int64_t needed = scan::kFirstMapPageOffset + intervals * scan::kIntervalBytes;
  if (intervals <= 0 || std::int64_t(bytes.size()) < needed)
    throw Error(what + "its header declares " + std::to_string(declared) + " bytes, but it holds " +
                std::to_string(bytes.size()));
}

// The shipped sample mailbox: PREFIX/share/kestrix/enron.pst for an installed program, else the
// source tree's copy (a program run from the build tree).
std::string samplePst() {
  const fs::path data = sources::installedDataDir(sources::programDir());
  return data.empty() ? std::string(KESTRIX_TESTDATA_DIR) + "/enron.pst" : rebuild::textOf(data / "enron.pst");
}

bool sameFrom(std::span<const std::byte> a, std::span<const std::byte> b, std::size_t from) {
  return a.size() == b.size() && std::equal(a.begin() + std::ptrdiff_t(from), a.end(), b.begin() + std::ptrdiff_t(from));
}

}  // namespace

int runExample(const ExampleCommand& cmd, std::ostream& out, std::ostream& err) {
  const std::string pstPath = cmd.pst.empty() ? samplePst() : cmd.pst;
  std::vector<Hidden> files;
  if (fs::exists(rebuild::pathOf(pstPath))) {
    files.push_back({"enron", readWholeFile(pstPath), {}});
    refuseUnusablePst(pstPath, files.back().bytes);
  } else if (!cmd.pst.empty()) {
    throw Error(cannotOpenMessage(pstPath, ENOENT));
  } else {
    err << "kestrix-cli: the sample mailbox " << pstPath << " is missing; the example uses a synthetic file only\n";
  }
  files.push_back({"synthetic", rebuild::makeSyntheticPst(12, 7), {}});
  const std::int32_t realIntervals =
      files.size() == 2 ? scan::PstHeaderIntervals(std::span(files[0].bytes).first<512>()) : 0;

  // The layout: noise between the pieces, the pieces out of order, a stray map page.
  rebuild::ImageBuilder image(2026);
  image.noise(2048);
  if (realIntervals > 2) {
    const std::int32_t a = realIntervals / 3, b = 2 * realIntervals / 3;
    place(image, files[0], b, realIntervals - b);
    image.noise(300);
    place(image, files.back(), 0, 6);
    image.noise(1000);
    place(image, files[0], 0, a);
    image.noise(77);
    image.append(rebuild::makeMapPage(scan::kFirstMapPageOffset + 7 * scan::kIntervalBytes, 99));
    image.noise(500);
    place(image, files[0], a, b - a);
  } else {
    place(image, files.back(), 0, 6);
  }
  image.noise(200);
  place(image, files.back(), 6, 6);
  image.noise(2048);

  std::error_code made;
  fs::create_directories(rebuild::pathOf(cmd.dir), made);
  if (made) throw Error(Message{Message::Code::CannotMakeFolder, {cmd.dir}, made.default_error_condition().value()});
  const std::string imagePath = rebuild::textOf(rebuild::pathOf(cmd.dir) / "disk.img");
  rebuild::writeWholeFile(imagePath, image.bytes(), nullptr);
  out << "1. Made the disk image " << imagePath << " (" << sources::SizeToText(std::uint64_t(image.bytes().size()))
      << "): random filler with ";
  for (std::size_t i = 0; i < files.size(); ++i)
    out << (i ? " and " : "") << "the " << files[i].name << " PST file in " << files[i].pieceStarts.size() << " pieces";
  out << ", out of order, with a stray map page between them.\n\n2. Scanned it:\n\n";

  std::atomic<bool> stop{false};
  scan::FileByteSource src(imagePath);
  ScanOutcome outcome = scanForFragments(src, cmd.quiet, stop, err);
  ScanReport report{imagePath, src.size(), &outcome.scan,
                    [&](const FragmentVisitor& visit) {
                      for (const auto& f : outcome.fragments) visit(f);
                    },
                    &src, false};
  printScanReport(out, report, Format::Table);

  bool allGood = true;
  out << "\n3. Extracted each file's fragments and rebuilt it:\n\n";
  for (const Hidden& file : files) {
    std::vector<rebuild::SectorExtent> extents;
    std::string numbers;
    for (const auto& f : outcome.fragments)
      for (std::int64_t start : file.pieceStarts)
        if (f.first.sector == start) {
          extents.push_back(rebuild::extentOf(f));
          numbers += (numbers.empty() ? "" : ",") + std::to_string(f.number);
        }
    const std::string fragmentsPath = rebuild::textOf(rebuild::pathOf(cmd.dir) / (file.name + "-fragments.bin"));
    const std::string pstOut = rebuild::textOf(rebuild::pathOf(cmd.dir) / (file.name + "-rebuilt.pst"));
    rebuild::extractToFile(src, extents, fragmentsPath, stop, {});
    const auto result = rebuild::rebuildFile(fragmentsPath, pstOut, stop, {});
    const auto rebuilt = readWholeFile(pstOut);
    const bool same = sameFrom(rebuilt, file.bytes, std::size_t(scan::kFirstMapPageOffset));
    allGood = allGood && same;
    out << "   " << file.name << ": fragments " << numbers << " -> " << fragmentsPath << "\n      rebuilt "
        << result.intervalsFound << " intervals -> " << pstOut << " ("
        << sources::SizeToText(std::uint64_t(rebuilt.size())) << ")\n      "
        << (same ? "identical to the original from byte 17408 on (the first 17408 bytes are the fixed header block)"
                 : "DIFFERS from the original")
        << "\n";
  }
  const std::string recovered = rebuild::textOf(rebuild::pathOf(cmd.dir) / "recovered");
  out << "\n4. Recovered every file straight from the image in one step, each checked (and repaired where\n"
         "   damaged) -> "
      << recovered << ":\n\n";
  rebuild::FolderRecovery job;
  job.folder = recovered;
  const rebuild::FolderRecoveryResult run = rebuild::recoverToFolder(src, job, stop, {});
  for (std::size_t k = 0; k < run.chosen.size() && k < run.written.checked.size(); ++k) {
    const rebuild::AssembledFile& file = run.analysis.files[run.chosen[k]];
    const pst::CheckedOutput& checked = run.written.checked[k];
    const std::string path = rebuild::textOf(rebuild::pathOf(recovered) / rebuild::pathOf(file.fileName));
    out << "   " << file.fileName << ": ";
    if (!checked.result().isPst) {
      out << "no PST structure of its own (a made-up file), written as put together\n";
      continue;
    }
    const auto bytes = readWholeFile(path);
    bool same = false;
    for (const Hidden& h : files) same = same || bytes == h.bytes;
    allGood = allGood && checked.result().sound() && same;
    out << (checked.repaired ? "repaired" : "sound") << ", " << messagesSummary(checked.result()) << ", "
        << (same ? "identical to the hidden file" : "DIFFERS from the hidden file") << '\n';
  }
  out << "\nThe same with the command line:\n"
      << "   kestrix-cli scan " << shellQuoted(imagePath) << "\n"
      << "   kestrix-cli extract " << shellQuoted(imagePath) << " --fragments N,N,... -o FRAGMENTS.bin\n"
      << "   kestrix-cli rebuild FRAGMENTS.bin -o RESULT.pst --repair   (--repair: a file that opens)\n"
      << "or in one step, writing every file that can be put together straight from the image, each\n"
      << "checked and, where damaged, repaired:\n"
      << "   kestrix-cli recover " << shellQuoted(imagePath) << " -o " << shellQuoted(recovered) << "\n"
      << "The window, kestrix, does the same: right-click the 数据源 box, choose 打开磁盘镜像.\n";
  if (!allGood) throw Error("The example did not give back the files it hid; see above");
  return kExitOk;
}

}  // namespace kestrix::cli

namespace kestrix::cli {
namespace {

const bool kExampleRegistered = registerCommand(
    {"example", 90, "Make a sample disk image, then scan, extract and rebuild from it", [](CLI::App& sub) {
       auto cmd = std::make_shared<ExampleCommand>();
       sub.add_option("--dir", cmd->dir, "Folder for the image and the results")->capture_default_str();
       sub.add_option("--pst", cmd->pst, "PST file to hide in the image (default: the shipped sample)");
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->dir;
         return runExample(*cmd, c.out, c.err);
       });
     }});

}  // namespace
}  // namespace kestrix::cli
