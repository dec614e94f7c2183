#pragma once
// Paths as the engine keeps them, and what the output writer's common part and its platform
// parts (output_file_posix.cpp, output_file_windows.cpp) share. Paths are UTF-8 inside the
// engine; std::filesystem takes and gives them as UTF-8 on every platform only through
// pathOf and textOf (on Windows it reads a plain std::string in the ANSI code page).

#include <filesystem>
#include <string>

namespace kestrix::rebuild {

std::filesystem::path pathOf(const std::string& utf8);
std::string textOf(const std::filesystem::path& path);

// The folder part of a path, "." when it has none.
std::string folderOf(const std::string& path);

// A fresh hidden name beside `name` for its temporary file: ".NAME.kestrix-XXXXXXXX".
std::string tempNameFor(const std::string& name);

// Whether a name in a folder is one tempNameFor made (a part file or a kept previous file).
bool isTempName(const std::string& name);

enum class WriterStep;
// Runs the test hook set with setWriterHook, if any.
void callWriterHook(WriterStep step, const std::string& path);

}  // namespace kestrix::rebuild
