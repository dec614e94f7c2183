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

bool isTempName(const std::string& name) {
  const std::string mark = ".kestrix-";
  const std::size_t at = name.rfind(mark);
  if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at == 0 || name.size() != at + mark.size() + 8)
    return false;
  return name.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz", at + mark.size()) == std::string::npos;
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
// on the source's storage, or in a folder no result goes into.
void refuseFolderOnSource(const std::string& path, const std::string& folder, const scan::ByteSource* source,
                          const sources::StorageSet& sourceSet) {
  const std::string existing = nearestExisting(folder);
  if (existing.empty()) return;
  std::unique_ptr<OutputFolder> open;
  try {
    open = std::make_unique<OutputFolder>(existing);
  } catch (const Error&) {
    return;  // one that cannot be opened is refused when it is written into
  }
  open->refuseFor(path, source, sourceSet);
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
      const auto isFile = [&](const scan::FileIdentity& id) {
        return id.blockDevice == 0 && id.devicePath.empty() && id.device == entry.device && id.inode == entry.inode;
      };
      if (isFile(source->identity())) throw Error(Message{Message::Code::OutputIsInput, {outputPath, source->name()}});
      // Another file of a disk image read through its container: a segment, an extent.
      for (const scan::FileIdentity& id : source->identities())
        if (isFile(id)) throw Error(Message{Message::Code::OutputIsSourcePart, {outputPath, source->name()}});
      throw Error(Message{Message::Code::OutputBehindSource, {outputPath, source->name()}});
    }
  }
  refuseFolderOnSource(outputPath, folderOf(outputPath), source, sourceSet);
}

}  // namespace

void refuseUnsafeOutput(const std::string& outputPath, const scan::ByteSource* source) {
  refuseTarget(outputPath, source, source ? sources::sourceStorage(*source) : sources::StorageSet{});
}

void refuseUnsafeFolder(const std::string& folder, const scan::ByteSource* source) {
  std::error_code ec;
  const fs::path at = pathOf(folder);
  if (fs::exists(at, ec) && !fs::is_directory(at, ec))
    throw Error(Message{Message::Code::FolderRefused, {folder, "notfolder"}});
  refuseFolderOnSource(folder, folder, source, source ? sources::sourceStorage(*source) : sources::StorageSet{});
}

void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes,
                  std::int64_t plannedBefore) {
  const std::string folder = nearestExisting(folderOf(outputPath));
  if (folder.empty()) return;  // nothing of the path exists: the creation of its folder fails first
  const sources::FolderSpace space = sources::folderSpace(folder);
  if (finalSize > space.largestFile || (space.holes && !sources::lengthFits(folder, finalSize)))
    throw Error(Message{Message::Code::OutputTooLarge, {outputPath, sources::SizeToText(std::uint64_t(finalSize))}});
  if (space.freeBytes < 0) return;  // unknown: the checked writes still catch a full disk
  const std::int64_t needed = space.holes ? allocatedBytes : finalSize;
  const std::int64_t left = std::max<std::int64_t>(0, space.freeBytes - plannedBefore);
  if (needed <= left) return;
  std::string need = sources::SizeToText(std::uint64_t(needed));
  std::string free = sources::SizeToText(std::uint64_t(left));
  if (need == free) {  // the rounded figures hide the difference
    need = withSeparators(needed) + " bytes";
    free = withSeparators(left) + " bytes";
  }
  throw Error(Message{Message::Code::NoRoom, {outputPath, need, free}});
}

namespace {
WriterHook& writerHook() {
  static WriterHook hook;
  return hook;
}
}  // namespace

void setWriterHook(WriterHook hook) { writerHook() = std::move(hook); }

void callWriterHook(WriterStep step, const std::string& path) {
  if (writerHook()) writerHook()(step, path);
}

void OutputFolder::refuseFor(const std::string& output, const scan::ByteSource* source,
                             const sources::StorageSet& sourceSet) const {
  if (sources::kernelFolder(m_handle)) throw Error(Message{Message::Code::OutputInSystemFolder, {output, m_path}});
  if (!source || (sourceSet.devices.empty() && sourceSet.files.empty())) return;
  const sources::StorageSet lands = sources::openFolderStorage(m_handle, m_path);
  if (lands.meets(sourceSet)) throw Error(Message{Message::Code::OutputOnSource, {output, source->name()}});
  if (!lands.unknownMounts.empty())
    throw Error(Message{Message::Code::OutputOnUnknownMount, {output, source->name(), lands.unknownMounts.front()}});
}

void OutputFolder::lock() {
  if (!m_lock.held()) m_lock = FolderLock(m_handle, m_path);
  if (m_lock.held()) removeLeftovers();
}

OutputFile::OutputFile(std::shared_ptr<OutputFolder> folder, std::string path)
    : m_path(std::move(path)), m_folder(std::move(folder)) {
  create();
}

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  try {
    m_folder = std::make_shared<OutputFolder>(folderOf(m_path));
  } catch (const Error& e) {
    throw Error(Message{Message::Code::CannotCreate, {m_path}, e.message().err});
  }
  create();
}

namespace {

// One spelling for a folder, to tell whether two paths lie in the same one.
std::string keyOf(const std::string& folder) { return textOf(fs::absolute(pathOf(folder)).lexically_normal()); }
std::string folderKey(const std::string& path) { return keyOf(folderOf(path)); }

}  // namespace

void OutputFile::rename(const std::string& path) {
  if (m_committed || folderKey(path) != folderKey(m_path))
    throw Error("Cannot write file \"" + path + "\". It is not in the folder of \"" + m_path + "\"");
  m_path = path;
  m_name = textOf(pathOf(m_path).filename());
}


OutputSet::OutputSet(const scan::ByteSource* source, std::vector<OutputTarget> targets, OutputSetOptions options)
    : m_source(source), m_targets(std::move(targets)) {
  m_sourceSet = source ? sources::sourceStorage(*source) : sources::StorageSet{};
  std::map<std::string, std::int64_t> dataPerFolder;
  for (const OutputTarget& t : m_targets) {
    refuseTarget(t.path, source, m_sourceSet);
    std::int64_t& data = dataPerFolder[folderKey(t.path)];
    checkRoomFor(t.path, t.size, t.allocated, data);
    data += t.allocated;
  }
  for (const auto& [key, data] : dataPerFolder) {
    std::shared_ptr<OutputFolder> folder;
    for (const auto& given : options.folders)
      if (keyOf(given->path()) == key) folder = given;
    if (!folder) {
      if (options.makeFolders) {
        std::error_code ec;
        fs::create_directories(pathOf(key), ec);
        if (ec) {
          // The errno where the failure has one (on Windows too), else the code as it is.
          const std::error_condition why = ec.default_error_condition();
          throw Error(Message{Message::Code::CannotMakeFolder, {key},
                              why.category() == std::generic_category() ? why.value() : ec.value()});
        }
      }
      // The folder of the first target in it, as the user wrote it, names it in messages.
      for (const OutputTarget& t : m_targets)
        if (folderKey(t.path) == key) {
          folder = std::make_shared<OutputFolder>(folderOf(t.path));
          break;
        }
    }
    // Again on the folder as it is open now: what the path led to before may have changed.
    for (const OutputTarget& t : m_targets)
      if (folderKey(t.path) == key) folder->refuseFor(t.path, source, m_sourceSet);
    folder->lock();
    if (options.folderMode) folder->giveFilesFolderMode();
    m_folders.push_back(std::move(folder));
  }
  m_files.resize(m_targets.size());
}

OutputSet::~OutputSet() {
  m_files.clear();  // before the folders and their locks
}

std::shared_ptr<OutputFolder> OutputSet::folderFor(const std::string& path) const {
  const std::string key = folderKey(path);
  for (const auto& folder : m_folders)
    if (keyOf(folder->path()) == key) return folder;
  throw Error("Cannot write file \"" + path + "\". Its folder is not one of this run's");
}

OutputFile& OutputSet::open(std::size_t i) {
  if (!m_files.at(i)) m_files[i] = std::make_unique<OutputFile>(folderFor(m_targets[i].path), m_targets[i].path);
  return *m_files[i];
}

void OutputSet::finish() {
  for (auto& file : m_files)
    if (file) file->finish();
}

void OutputSet::commit() {
  finish();
  for (auto& file : m_files)
    if (file) file->keepPrevious();
  std::vector<OutputFile*> done;
  for (auto& file : m_files) {
    if (!file) continue;
    try {
      file->commit();
    } catch (const Error& e) {
      if (file->committed()) done.push_back(file.get());  // in place, but not durable
      // Put back what the files before it replaced, so that the folder holds one run, not two.
      std::vector<std::string> stayNew;
      for (OutputFile* put : done)
        if (!put->restorePrevious()) stayNew.push_back(put->path());
      Message m = e.message();
      m.code = Message::Code::NotCommitted;
      m.args.resize(1);
      m.args.insert(m.args.end(), stayNew.begin(), stayNew.end());
      throw Error(std::move(m));
    }
    done.push_back(file.get());
  }
  for (OutputFile* put : done) put->dropPrevious();
}

std::size_t OutputSet::add(OutputTarget target) {
  refuseTarget(target.path, m_source, m_sourceSet);
  checkRoomFor(target.path, target.size, target.allocated);
  folderFor(target.path);  // in a folder of the set
  m_targets.push_back(std::move(target));
  m_files.emplace_back();
  return m_targets.size() - 1;
}

void OutputSet::rename(std::size_t i, const std::string& path) {
  refuseTarget(path, m_source, m_sourceSet);
  if (m_files.at(i)) m_files[i]->rename(path);
  m_targets[i].path = path;
}

void OutputSet::drop(std::size_t i) { m_files.at(i).reset(); }

void refuseOutputsOverInputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
  const auto sameFile = [](const std::string& a, const std::string& b) {
    if (keyOf(a) == keyOf(b)) return true;
    std::error_code ec;
    return fs::equivalent(pathOf(a), pathOf(b), ec);
  };
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (const std::string& input : inputs)
      if (sameFile(outputs[i], input)) throw Error(Message{Message::Code::OutputIsInput, {outputs[i], input}});
    for (std::size_t j = 0; j < i; ++j)
      if (sameFile(outputs[i], outputs[j])) throw Error(Message{Message::Code::OutputTwice, {outputs[i], outputs[j]}});
  }
}

void writeWholeFile(const std::string& path, std::span<const std::byte> bytes, const scan::ByteSource* source) {
  OutputSet set(source, {{path, std::int64_t(bytes.size()), std::int64_t(bytes.size())}});
  set.open(0).writeAt(0, bytes);
  set.commit();
}

}  // namespace kestrix::rebuild
