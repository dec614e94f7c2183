#pragma once
// Where the program finds the files it ships. An installed program lies in PREFIX/bin and
// finds its sample data in PREFIX/share/kestrix and its manual in PREFIX/share/doc/kestrix;
// a program run from the build tree has neither folder beside it.

#include <filesystem>

namespace kestrix::sources {

// The folder of the running program's executable (/proc/self/exe); empty when unknown.
std::filesystem::path programDir();

// PREFIX/share/kestrix for a program in PREFIX/bin when that folder exists, else empty.
std::filesystem::path installedDataDir(const std::filesystem::path& programDir);

// The folder of the manual (help.html): PREFIX/share/doc/kestrix for an installed program,
// else programDir itself (the build puts help.html beside the program).
std::filesystem::path manualDir(const std::filesystem::path& programDir);

}  // namespace kestrix::sources
