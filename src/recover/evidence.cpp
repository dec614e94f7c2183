#include "recover/evidence.h"

namespace kestrix::rebuild {

std::string countText(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

FileEvidence judgeEvidence(const AssembledFile& file, const RecoverResult& result, const pst::CheckReport& asWritten) {
  FileEvidence e;
  e.header = result.headerRebuilt            ? FileEvidence::Header::Rebuilt
             : !result.ownHeader             ? FileEvidence::Header::None
             : file.headerElsewhere()        ? FileEvidence::Header::Elsewhere
                                             : FileEvidence::Header::Own;
  const pst::ReassemblyResult& b = result.blocks;
  e.indexRead = b.treesFound;
  if (e.indexRead) {
    e.blocks = b.blocks + b.blocksUnlisted;
    e.blocksUncertain = b.blocksUncertain;
    e.blocksProved = b.blocksProved() - b.blocksUncertain;
    e.blocksInferred = b.blocksInferred;
    e.blocksMissing = b.blocksMissing;
    e.blocksAmbiguous = b.blocksAmbiguous;
    e.pagesMissing = b.pagesMissing;
    e.pagesInferred = b.pagesInferred;
    e.pagesAmbiguous = b.pagesAmbiguous;
    e.newerPages = b.newerPages;
    e.blocksStitched = b.blocksStitched;
    e.stitchTries = b.stitchTries;
    // Blocks put together by their CRC alone, after more placements than keep a false one
    // unlikely, rest on that chance: they are not counted proved.
    if (!e.stitchingProved()) e.blocksProved -= e.blocksStitched;
  } else {
    // Not read from the source: what check proved of the file as written (every block it
    // lists checked by trailer, signature and CRC at its place).
    e.blocks = asWritten.blocksListed;
    e.blocksMissing = asWritten.blocksMissing + asWritten.blocksBadCrc;
    e.blocksProved = e.blocks - e.blocksMissing;
    e.pagesMissing = asWritten.analysis.nodeTree.pagesMissing + asWritten.analysis.blockTree.pagesMissing;
  }
  e.staleTrees = asWritten.analysis.nodeTree.stale || asWritten.analysis.blockTree.stale;
  for (const auto& run : result.unreadable) e.sectorsUnreadable += run.count;
  e.sectorsUnreadable -= result.sectorsPastEnd;
  // With the index read, every block proved at its place is the file's, whichever version of
  // an interval it was taken from.
  e.versionConflicts = e.indexRead ? 0 : std::int64_t(file.conflicts.size());
  // Lost allocation maps are rebuilt by the program that owns them; a missing interval whose
  // blocks were all proved elsewhere held none of the file's data.
  const auto& a = asWritten.analysis;
  e.checkDamaged = !asWritten.isPst || !a.nodeTree.rootFound || !a.blockTree.rootFound || asWritten.nodesBroken > 0 ||
                   !asWritten.mailboxOpens || (!e.indexRead && !asWritten.sound() && !asWritten.mapsTrustedButLost());
  const bool lost = e.blocksMissing > 0 || e.pagesMissing > 0 || e.sectorsUnreadable > 0 || e.checkDamaged ||
                    e.header == FileEvidence::Header::None;
  const bool guessed = e.blocksInferred > 0 || e.pagesInferred > 0 || (e.blocksStitched > 0 && !e.stitchingProved()) || e.blocksUncertain > 0 || e.newerPages > 0 || e.staleTrees || e.versionConflicts > 0 ||
                       e.header == FileEvidence::Header::Rebuilt;
  e.state = lost ? FileEvidence::State::Damaged : guessed ? FileEvidence::State::Inferred : FileEvidence::State::Whole;
  return e;
}

double FileEvidence::falseBlockChance() const { return double(stitchTries) / 4294967296.0; }

std::int64_t FileEvidence::oneIn() const {
  if (stitchTries <= 0) return 0;
  // Two significant digits are all the bound is worth.
  std::int64_t n = std::int64_t(4294967296.0 / double(stitchTries));
  std::int64_t scale = 1;
  while (n >= 100) {
    n /= 10;
    scale *= 10;
  }
  return n * scale;
}

const char* FileEvidence::stateName() const {
  switch (state) {
    case State::Whole: return "whole";
    case State::Inferred: return "inferred";
    case State::Damaged: return "damaged";
  }
  return "";
}

std::string FileEvidence::why() const {
  std::vector<std::string> parts;
  if (header == Header::Rebuilt) parts.push_back("header lost, one built from the file's content");
  if (header == Header::None) parts.push_back("no header of its own");
  if (blocksMissing > 0) parts.push_back(countText(blocksMissing, "block", "blocks") + " of " + std::to_string(blocks) + " missing");
  if (blocksInferred > 0)
    parts.push_back(countText(blocksInferred, "block", "blocks") +
                    " unproved: kept where the map pages put them, or put together from clusters their CRC alone ties to them");
  if (blocksAmbiguous > 0)
    parts.push_back(countText(blocksAmbiguous, "missing block", "missing blocks") + " that two different sets of pieces fit equally");
  if (blocksUncertain > 0)
    parts.push_back(countText(blocksUncertain, "block", "blocks") + " uncertain: another file holds a different block of the same ID");
  if (blocksStitched > 0 && !stitchingProved()) {
    parts.push_back(countText(blocksStitched, "block", "blocks") + " put together from pieces by their CRC alone, after " +
                    countText(stitchTries, "placement", "placements") + " tried: a chance of up to 1 in " +
                    std::to_string(oneIn()) + " that one is false");
  }
  if (pagesMissing > 0) parts.push_back(countText(pagesMissing, "index page", "index pages") + " missing");
  if (pagesAmbiguous > 0)
    parts.push_back(countText(pagesAmbiguous, "missing index page", "missing index pages") + " that two different sets of pieces fit equally");
  if (pagesInferred > 0)
    parts.push_back(countText(pagesInferred, "index page", "index pages") + " unproved: put together from pieces its CRC alone ties together");
  if (newerPages > 0 || staleTrees)
    parts.push_back("a newer index than the one used was seen" +
                    (newerPages > 0 ? " (" + countText(newerPages, "page", "pages") + " on the source)" : std::string()));
  if (sectorsUnreadable > 0) parts.push_back(countText(sectorsUnreadable, "unreadable sector", "unreadable sectors") + " written as zeros");
  if (versionConflicts > 0) parts.push_back("intervals with two versions on the source");
  if (checkDamaged) parts.push_back("the index as written does not open whole");
  std::string text;
  for (const auto& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}

}  // namespace kestrix::rebuild
