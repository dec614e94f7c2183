#pragma once
// Where a file system's own maps put the pieces of a file: the extent leaves of ext4 volumes
// on the source (see format/extent_leaf.h). A leaf names no file, so it is taken for a file
// only where it agrees with pieces of that file already proved at their place, and the
// volume's start on the source is what those pieces say.

#include <cstdint>
#include <span>
#include <vector>

#include "io/byte_source.h"
#include "recover/reassembly.h"

namespace kestrix::pst {

// The extents that the leaves at `leaves` (source offsets) map of a file whose pieces proved
// so far are `proved` (in file order): runs in file order, apart, within [0, fileLength). A
// leaf counts when pieces in two of its extents or more lie exactly where it says, on one
// volume start, and at most one in eight of the extents holding a proved piece says otherwise.
// Where two leaves map the same bytes elsewhere, the one more pieces agree with wins.
std::vector<FileRun> mappedByVolume(scan::ByteSource& source, std::span<const std::int64_t> leaves,
                                    const std::vector<FileRun>& proved, std::int64_t fileLength);

}  // namespace kestrix::pst
