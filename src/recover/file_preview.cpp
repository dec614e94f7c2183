#include "recover/file_preview.h"

#include <algorithm>

#include "pst/mailbox_outline.h"
#include "recover/evidence.h"

namespace kestrix::rebuild {

namespace {


// Where the blocks the index lists lie among the file's intervals.
struct BlockPlaces {
  std::int64_t inMissing = 0;    // in intervals not found
  std::int64_t inConflicts = 0;  // in intervals another version could have served
  std::int64_t pastEnd = 0;      // in no interval of the file: past its declared end
};

BlockPlaces placeBlocks(const AssembledFile& file, std::span<const pst::BlockEntry> blocks) {
  BlockPlaces places;
  const pst::Geometry& g = file.geometry();
  for (const pst::BlockEntry& b : blocks) {
    if (b.offset < std::uint64_t(g.firstMapOffset)) continue;
    const std::int64_t id = std::int64_t((b.offset - std::uint64_t(g.firstMapOffset)) / std::uint64_t(g.mapInterval));
    if (id >= file.declaredIntervals) {
      ++places.pastEnd;
      continue;
    }
    if (std::binary_search(file.missingIds.begin(), file.missingIds.end(), std::int32_t(id))) ++places.inMissing;
    const auto c = std::upper_bound(file.conflicts.begin(), file.conflicts.end(), id,
                                    [](std::int64_t v, const IdConflict& k) { return v < k.firstId; });
    if (c != file.conflicts.begin() && id <= std::prev(c)->lastId) ++places.inConflicts;
  }
  return places;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}

FilePreview previewFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments, const AssembledFile& file,
                        const scan::SourceIndex* index, const std::atomic<bool>& stop, bool& stopped) {
  FilePreview preview;
  if (!file.unbuildable.empty()) {
    preview.why = "cannot be written: " + file.unbuildable;
    return preview;
  }
  // The file's own header where it has one, then its intervals: the file as it would be written.
  std::vector<CopyRun> runs = intervalRuns(fragments, file);
  if (file.headerHasMagic)
    runs.insert(runs.begin(), CopyRun{file.headerSector * std::int64_t(scan::kPageSize), 0, file.headerBytes});
  RunsView view(src, runs, file.outputSize());

  std::vector<std::string> damage, uncertain;
  if (file.missingCount > 0)
    damage.push_back(countText(file.missingCount, "interval", "intervals") + " missing (IDs " + describeMissingIds(file) + ")");
  // A file whose header is lost: its index from the newest roots the source holds for it.
  std::optional<pst::Header> given;
  if (!file.headerHasMagic) {
    damage.push_back("no header of its own");
    if (index) {
      std::vector<pst::FileRun> anchors;
      for (const CopyRun& r : runs) anchors.push_back({r.outputOffset, r.sourceOffset, r.length});
      const auto node = pst::newestRoot(src, *index, anchors, file.outputSize(), pst::kPageNodeTree, file.alone, file.geometry());
      const auto block = pst::newestRoot(src, *index, anchors, file.outputSize(), pst::kPageBlockTree, file.alone, file.geometry());
      if (node && block) {
        given.emplace();
        given->nodeRoot = *node;
        given->blockRoot = *block;
        given->encoding = pst::Encoding::Permute;
      }
    }
    if (!given) {
      preview.why = joined(damage) + "; no root of its index found to read it from";
      preview.bytesRead = view.sourceBytesRead();
      return preview;
    }
  }

  const pst::MailboxOutline outline = pst::readMailboxOutline(view, stop, given);
  preview.bytesRead = view.sourceBytesRead();
  if (outline.stopped) {
    stopped = true;
    return preview;
  }
  preview.indexRead = outline.indexRead();
  if (preview.indexRead) {
    preview.mailboxName = outline.displayName;
    preview.topFolders = outline.topFolders;
    preview.messages = outline.messages;
  }
  if (outline.header == pst::HeaderState::NotUnicode) damage.push_back("a PST of an unknown version");
  else if (outline.header == pst::HeaderState::Missing) damage.push_back("its header cannot be read");
  // A header found elsewhere may be its first sector alone, whose CRC holds (the assembly checked it).
  if (outline.header == pst::HeaderState::BadCrc && file.headerBytes >= std::int64_t(pst::kHeaderSize))
    uncertain.push_back("its header fails its CRC");
  if (file.headerElsewhere()) uncertain.push_back("its header was found away from its first interval");
  const bool headerRead = outline.header == pst::HeaderState::Sound || outline.header == pst::HeaderState::BadCrc;
  if (headerRead) {
    for (const auto& [tree, what] : {std::pair(&outline.nodeTree, "node"), std::pair(&outline.blockTree, "block")})
      if (!tree->rootFound) damage.push_back(std::string("the root page of its ") + what + " tree cannot be read");
    // A tree larger than the preview reads: the pages past the limit were not read, not lost.
    auto& cappable = outline.pagesCapped ? uncertain : damage;
    if (outline.pagesCapped) uncertain.push_back("its index is larger than a preview reads");
    const std::int64_t missing = outline.nodeTree.pagesMissing + outline.blockTree.pagesMissing;
    if (missing > 0) cappable.push_back(countText(missing, "index page", "index pages") + " missing");
    const std::int64_t repeated = outline.nodeTree.pagesRepeated + outline.blockTree.pagesRepeated;
    if (repeated > 0) damage.push_back(countText(repeated, "index page", "index pages") + " named twice");
    const std::int64_t badCrc = outline.nodeTree.pagesBadCrc + outline.blockTree.pagesBadCrc;
    if (badCrc > 0) uncertain.push_back(countText(badCrc, "index page", "index pages") + " failing their CRC");
    if (preview.indexRead) {
      if (!outline.storeRead) cappable.push_back("the message store cannot be read");
      if (!outline.rootFolderRead) cappable.push_back("the root folder cannot be read");
    }
  }
  const BlockPlaces places = placeBlocks(file, outline.blocks);
  if (places.inMissing > 0) damage.push_back(countText(places.inMissing, "block", "blocks") + " of its index in the missing intervals");
  if (places.pastEnd > 0) uncertain.push_back(countText(places.pastEnd, "block", "blocks") + " of its index past its declared end");
  std::vector<std::string> versions;
  if (!file.conflicts.empty()) {
    versions.push_back("another version of some intervals: " + describeConflicts(file));
    if (places.inConflicts > 0) versions.push_back(countText(places.inConflicts, "block", "blocks") + " of its index lie there");
  }

  preview.state = !damage.empty()     ? FilePreview::State::Damaged
                  : !versions.empty() ? FilePreview::State::TwoVersions
                  : !uncertain.empty() ? FilePreview::State::Uncertain
                                       : FilePreview::State::Complete;
  damage.insert(damage.end(), versions.begin(), versions.end());
  damage.insert(damage.end(), uncertain.begin(), uncertain.end());
  preview.why = joined(damage);
  return preview;
}

}  // namespace

const char* FilePreview::stateName() const {
  switch (state) {
    case State::Complete: return "complete";
    case State::Damaged: return "damaged";
    case State::TwoVersions: return "two versions";
    case State::Uncertain: return "uncertain";
  }
  return "";
}

std::vector<FilePreview> previewFiles(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                      std::span<const AssembledFile> files, const scan::SourceIndex* index,
                                      const std::atomic<bool>& stop, const PreviewProgressFn& progress) {
  std::vector<FilePreview> previews;
  const auto total = std::int64_t(files.size());
  if (progress) progress({0, total});
  for (const AssembledFile& file : files) {
    bool stopped = false;
    if (stop.load()) break;
    FilePreview preview = previewFile(src, fragments, file, index, stop, stopped);
    if (stopped) break;
    previews.push_back(std::move(preview));
    if (progress) progress({std::int64_t(previews.size()), total});
  }
  return previews;
}

}  // namespace kestrix::rebuild
