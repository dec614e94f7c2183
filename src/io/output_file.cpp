#include "io/output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include "io/output_names.h"
#include "io/errors.h"
#include "io/size_text.h"
#include "io/storage.h"

namespace kestrix::rebuild {

namespace fs = std::filesystem;

fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string textOf(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string folderOf(const std::string& path) {
  const fs::path parent = pathOf(path).parent_path();
  return parent.empty() ? "." : textOf(parent);
}

std::string tempNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  static const std::uint64_t process = std::random_device{}();  // two runs at the same tick still differ
  const auto tick = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t mix = tick ^ (process << 32) ^ (std::uint64_t(++counter) * 0x9E3779B97F4A7C15ull);
  constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string tag;
  for (std::uint64_t v = mix; tag.size() < 8; v /= 36) tag += kDigits[v % 36];
  return "." + name.substr(0, 200) + ".kestrix-" + tag;
}

namespace {

// The folder an output would land in: the path itself or the nearest folder above it that
// exists (creating the missing ones would write there already).
std::string nearestExisting(const std::string& path) {
  fs::path at = fs::absolute(pathOf(path)).lexically_normal();
  std::error_code ec;
  while (!fs::exists(at, ec)) {
    if (at == at.parent_path()) return {};
    at = at.parent_path();
  }
  return textOf(at);
}

// Refuses when writing into the folder (or the nearest one above it that exists) would land
// on the source's storage.
void refuseFolderOnSource(const std::string& path, const std::string& folder, const scan::ByteSource& source,
                          const sources::StorageSet& sourceSet) {
  if (sourceSet.devices.empty() && sourceSet.files.empty()) return;
  const std::string existing = nearestExisting(folder);
  if (existing.empty()) return;
  if (sources::folderStorage(existing).meets(sourceSet))
    throw Error(Message{Message::Code::OutputOnSource, {path, source.name()}});
}

// "1,234,567" for a count of bytes (not negative).
std::string withSeparators(std::int64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

bool endsInSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || (fs::path::preferred_separator == L'\\' && path.back() == '\\'));
}

// refuseUnsafeOutput with the source's storage worked out already (it is the same for every
// file of a run).
void refuseTarget(const std::string& outputPath, const scan::ByteSource* source, const sources::StorageSet& sourceSet) {
  if (outputPath.empty() || pathOf(outputPath).filename().empty() || endsInSeparator(outputPath))
    throw Error(Message{Message::Code::OutputIsFolderName, {outputPath}});
  const sources::PathEntry entry = sources::entryAt(outputPath);
  if (entry.exists) {
    if (entry.kind != sources::PathKind::File)
      throw Error(Message{Message::Code::OutputNotFile, {outputPath, sources::pathKindCode(entry.kind)}});
    // A link is replaced, not followed; it matters only when it leads to the source.
    if (source && entry.known && sourceSet.holdsFile(entry.device, entry.inode)) {
      const scan::FileIdentity id = source->identity();
      const bool itself = id.blockDevice == 0 && id.devicePath.empty() && id.device == entry.device &&
                          id.inode == entry.inode;
      if (itself) throw Error(Message{Message::Code::OutputIsInput, {outputPath, source->name()}});
      throw Error(Message{Message::Code::OutputBehindSource, {outputPath, source->name()}});
    }
  }
  if (source) refuseFolderOnSource(outputPath, folderOf(outputPath), *source, sourceSet);
}

}  // namespace

void refuseUnsafeOutput(const std::string& outputPath, const scan::ByteSource* source) {
  refuseTarget(outputPath, source, source ? sources::sourceStorage(source->identity()) : sources::StorageSet{});
}

void refuseUnsafeFolder(const std::string& folder, const scan::ByteSource* source) {
  std::error_code ec;
  const fs::path at = pathOf(folder);
  if (fs::exists(at, ec) && !fs::is_directory(at, ec))
    throw Error(Message{Message::Code::FolderRefused, {folder, "notfolder"}});
  if (source) refuseFolderOnSource(folder, folder, *source, sources::sourceStorage(source->identity()));
}

void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes) {
  const std::string folder = nearestExisting(folderOf(outputPath));
  if (folder.empty()) return;  // nothing of the path exists: the creation of its folder fails first
  const sources::FolderSpace space = sources::folderSpace(folder);
  if (finalSize > space.largestFile || (space.holes && !sources::lengthFits(folder, finalSize)))
    throw Error(Message{Message::Code::OutputTooLarge, {outputPath, sources::SizeToText(std::uint64_t(finalSize))}});
  if (space.freeBytes < 0) return;  // unknown: the checked writes still catch a full disk
  const std::int64_t needed = space.holes ? allocatedBytes : finalSize;
  if (needed <= space.freeBytes) return;
  std::string need = sources::SizeToText(std::uint64_t(needed));
  std::string free = sources::SizeToText(std::uint64_t(space.freeBytes));
  if (need == free) {  // the rounded figures hide the difference
    need = withSeparators(needed) + " bytes";
    free = withSeparators(space.freeBytes) + " bytes";
  }
  throw Error(Message{Message::Code::NoRoom, {outputPath, need, free}});
}

void OutputFile::rename(const std::string& path) {
  if (m_committed ||
      fs::absolute(pathOf(folderOf(path))).lexically_normal() != fs::absolute(pathOf(folderOf(m_path))).lexically_normal())
    throw Error("Cannot write file \"" + path + "\". It is not in the folder of \"" + m_path + "\"");
  m_path = path;
  m_name = textOf(pathOf(m_path).filename());
}

OutputSet::OutputSet(const scan::ByteSource* source, std::vector<OutputTarget> targets, OutputSetOptions options)
    : m_source(source), m_targets(std::move(targets)) {
  const sources::StorageSet sourceSet = source ? sources::sourceStorage(source->identity()) : sources::StorageSet{};
  std::map<std::string, std::int64_t> dataPerFolder;
  for (const OutputTarget& t : m_targets) {
    refuseTarget(t.path, source, sourceSet);
    std::int64_t& data = dataPerFolder[textOf(fs::absolute(pathOf(folderOf(t.path))).lexically_normal())];
    data += t.allocated;
    checkRoomFor(t.path, t.size, data);
  }
  for (const auto& [folder, data] : dataPerFolder) {
    if (options.makeFolders) {
      std::error_code ec;
      fs::create_directories(pathOf(folder), ec);
      if (ec) {
        // The errno where the failure has one (on Windows too), else the code as it is.
        const std::error_condition why = ec.default_error_condition();
        throw Error(Message{Message::Code::CannotMakeFolder, {folder},
                            why.category() == std::generic_category() ? why.value() : ec.value()});
      }
    }
    if (options.lockFolders) m_locks.emplace_back(folder);
  }
  m_files.resize(m_targets.size());
}

OutputSet::~OutputSet() = default;

OutputFile& OutputSet::open(std::size_t i) {
  if (!m_files.at(i)) m_files[i] = std::make_unique<OutputFile>(m_targets[i].path);
  return *m_files[i];
}

void OutputSet::commit() {
  for (auto& file : m_files)
    if (file) file->commit();
}

std::size_t OutputSet::add(OutputTarget target) {
  refuseUnsafeOutput(target.path, m_source);
  checkRoomFor(target.path, target.size, target.allocated);
  m_targets.push_back(std::move(target));
  m_files.emplace_back();
  return m_targets.size() - 1;
}

void OutputSet::rename(std::size_t i, const std::string& path) {
  refuseUnsafeOutput(path, m_source);
  if (m_files.at(i)) m_files[i]->rename(path);
  m_targets[i].path = path;
}

void OutputSet::drop(std::size_t i) { m_files.at(i).reset(); }

void writeWholeFile(const std::string& path, std::span<const std::byte> bytes, const scan::ByteSource* source) {
  OutputSet set(source, {{path, std::int64_t(bytes.size()), std::int64_t(bytes.size())}});
  set.open(0).writeAt(0, bytes);
  set.commit();
}

}  // namespace kestrix::rebuild
