#pragma once
// The check both PST targets make of a repair: written through the real writer into a
// memory-backed folder, read back whole, and sound again (CRCs aside), with the messages the
// repair reported.

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pst/check.h"
#include "pst/repair.h"

namespace kestrix::fuzz {

inline void expectRepairSound(scan::ByteSource& input, const std::atomic<bool>& stop) {
  static const std::string folder = [] {
    std::string dir = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/kestrix-fuzz-XXXXXX");
    FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr);
    return dir;
  }();
  const std::string path = folder + "/repaired.pst";
  pst::RepairReport repaired;
  {
    rebuild::OutputFile output(path);
    repaired = pst::repairPst(input, output, stop);
    output.commit();
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<std::byte> out(static_cast<std::size_t>(repaired.outputLength));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
  FUZZ_CHECK(in.gcount() == std::streamsize(out.size()) && in.peek() == EOF);
  MemorySource written(out);
  const pst::CheckReport again = pst::checkPst(written, stop);
  FUZZ_CHECK(again.soundApartFromCrcs());
  FUZZ_CHECK(again.messages == repaired.after.messages);
  FUZZ_CHECK(again.messagesReadable == repaired.after.messagesReadable);
}

}  // namespace kestrix::fuzz
