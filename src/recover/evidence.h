#pragma once
// What the evidence proves of a file as it was put together. "Whole" is said only of a file
// whose header is its own and whose every tree page and block was proved at its place (its
// trailer, its signature for that file offset, its CRC), with nothing newer of its index seen
// on the source. Anything that rests on a guess is "inferred", anything lost "damaged"; each
// with what it is, so that every report (table, JSON, DFXML, the window) says the same.

#include <cstdint>
#include <string>
#include <vector>

#include "pst/repair.h"
#include "recover/assembly.h"

namespace kestrix::rebuild {

struct FileEvidence {
  enum class State { Whole, Inferred, Damaged };
  State state = State::Damaged;
  // The header: the file's own (in place before map page 0, or found elsewhere and agreeing
  // with the file's roots), one built from the file's content, or none (the fixed block).
  enum class Header { Own, Elsewhere, Rebuilt, None } header = Header::None;
  std::int64_t blocks = 0;          // listed by the file's index, where it was read
  // Trailer, signature and CRC hold at the place written; blocks put together from pieces
  // only while stitchingProved().
  std::int64_t blocksProved = 0;
  std::int64_t blocksInferred = 0;  // kept where the map pages put them, unproved
  std::int64_t blocksUncertain = 0; // valid, but another file holds a different block of that ID
  std::int64_t blocksMissing = 0;
  std::int64_t blocksAmbiguous = 0;  // of those missing: two different sets of pieces fit
  // Blocks put together from pieces in several places, and the placements whose CRC was tried
  // to find them: each holds by chance with probability 2^-32.
  std::int64_t blocksStitched = 0;
  std::int64_t stitchTries = 0;
  std::int64_t pagesMissing = 0;    // tree pages the index names, found nowhere
  std::int64_t pagesInferred = 0;   // put together from pieces their CRC alone ties together, unproved
  std::int64_t pagesAmbiguous = 0;  // of those missing: two different sets of pieces fit
  std::int64_t newerPages = 0;      // tree pages of the file newer than the trees used
  bool staleTrees = false;          // the file as written holds newer tree pages than its trees reach
  std::int64_t sectorsUnreadable = 0;  // written as zeros
  std::int64_t versionConflicts = 0;   // stretches of IDs another version could have served, index unread
  bool indexRead = false;              // the file's own index was read (else counts come from check)
  bool checkDamaged = false;           // check of the file as written found damage beyond the above

  // An upper bound on the chance that a stitched block is false: every placement tried could
  // have held by chance. Above kProvedChance the stitched blocks are not proved.
  static constexpr double kProvedChance = 1e-6;
  double falseBlockChance() const;
  std::int64_t oneIn() const;  // that chance as "1 in N", N to two digits; 0 without tries
  bool stitchingProved() const { return falseBlockChance() <= kProvedChance; }

  // "whole", "inferred", "damaged".
  const char* stateName() const;
  // What keeps the file from being whole, in English, "; "-joined; empty for a whole file.
  std::string why() const;
};

// "1 block", "3 blocks": for the reasons why() and the previews give.
std::string countText(std::int64_t n, const char* one, const char* many);

FileEvidence judgeEvidence(const AssembledFile& file, const RecoverResult& result, const pst::CheckReport& asWritten);

}  // namespace kestrix::rebuild
