#pragma once
// Disk images kept in a container (EnCase E01, qcow2, VMDK, VHD, VHDX) read as the disk they
// hold: offsets, the size and the unreadable sectors are those of the media inside, and the
// name is the container's. Each format is read by its own library (libewf, libqcow, libvmdk,
// libvhdi); a build without one of them refuses that format by name instead of reading the
// container's bytes as a disk.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "io/byte_source.h"

namespace kestrix::sources {

enum class ImageFormat { Raw, Ewf, Qcow, Vmdk, Vhd, Vhdx };

// What a file holds, by its first bytes (and for a fixed VHD, its last 512): the signature
// of each container, Raw for anything else.
ImageFormat imageFormatOf(std::span<const std::byte> head, std::span<const std::byte> tail);

// "E01", "qcow2", "VMDK", "VHD", "VHDX"; "" for Raw.
const char* imageFormatName(ImageFormat format);

// Whether this build has the library that reads the format.
bool readsImageFormat(ImageFormat format);

// The file as a source: the disk inside when it is a container (a regular file only; a
// device is always read as it is), else the file itself. An E01 is opened with every
// segment of its set (.E01, .E02, ... beside it). Throws kestrix::Error naming the path, the
// format and the library's reason when the container cannot be read (damaged, encrypted,
// needing a parent image, or a format this build does not read).
std::unique_ptr<scan::ByteSource> openImage(std::unique_ptr<scan::FileByteSource> file);

}  // namespace kestrix::sources
