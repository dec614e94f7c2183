#include "sources/image_source.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "io/errors.h"
#include "io/output_names.h"

#if KESTRIX_HAVE_LIBEWF
#include <libewf.h>
#endif
#if KESTRIX_HAVE_LIBQCOW
#include <libqcow.h>
#endif
#if KESTRIX_HAVE_LIBVMDK
#include <libbfio.h>
#if defined(_WIN32) && !defined(HAVE_WIDE_CHARACTER_TYPE)
// libvmdk.h declares libvmdk_handle_set_extent_data_files_path_wide under the library's own
// build macro rather than LIBVMDK_HAVE_WIDE_CHARACTER_TYPE; the library has it.
#define HAVE_WIDE_CHARACTER_TYPE 1
#include <libvmdk.h>
#undef HAVE_WIDE_CHARACTER_TYPE
#else
#include <libvmdk.h>
#endif
#endif
#if KESTRIX_HAVE_LIBVHDI
#include <libvhdi.h>
#endif

namespace kestrix::sources {

namespace {

namespace fs = std::filesystem;

// The libraries take a file's name as UTF-16 on Windows (a narrow name is read in a code page
// there, not as UTF-8), and as the UTF-8 it is kept in elsewhere.
#ifdef _WIN32
using NativeName = std::wstring;
#define KESTRIX_NATIVE(function) function##_wide
#else
using NativeName = std::string;
#define KESTRIX_NATIVE(function) function
#endif

NativeName nativeName(const std::string& path) {
#ifdef _WIN32
  return rebuild::pathOf(path).wstring();
#else
  return path;
#endif
}

bool startsWith(std::span<const std::byte> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

[[noreturn]] void refuse(const std::string& path, ImageFormat format, std::string reason) {
  if (!reason.empty() && reason[0] >= 'a' && reason[0] <= 'z') reason[0] = char(reason[0] - 'a' + 'A');
  throw Error(Message{Message::Code::CannotOpenImage, {path, imageFormatName(format), reason}});
}

// A byte range of the media that the library read but found damaged.
struct Damage {
  std::int64_t first = 0;
  std::int64_t end = 0;
};

// One open handle of a library on an image. A handle is used by one thread at a time; a
// source holds one per thread that reads.
class Reader {
 public:
  virtual ~Reader() = default;
  virtual std::int64_t mediaSize() const = 0;
  // Reads n bytes at offset: the count read, or -1 where the library failed.
  virtual std::int64_t read(std::int64_t offset, std::byte* out, std::size_t n) = 0;
  // Every range found damaged so far (an E01 chunk failing its checksum is returned with the
  // others, and listed here).
  virtual std::vector<Damage> damaged() { return {}; }
  // The unit in which the library fails: a failed read is asked again in pieces of this size
  // to find the one that fails.
  virtual std::size_t granule() const { return 64 * 1024; }
};

using ReaderFactory = std::function<std::unique_ptr<Reader>()>;

// The library's description of a failure: the innermost message of its backtrace (the first
// line), which says what was wrong with the file rather than which call gave up, without the
// name of the function that gave it.
template <typename E>
std::string errorText(E* error, int (*backtrace)(E*, char*, std::size_t)) {
  if (!error) return "unknown failure";
  char text[4096] = {};
  if (backtrace(error, text, sizeof text) <= 0) return "unknown failure";
  std::string first(text, std::strcspn(text, "\n"));
  if (first.starts_with("lib")) {
    const std::size_t colon = first.find(": ");
    if (colon != std::string::npos) first.erase(0, colon + 2);
  }
  while (!first.empty() && (first.back() == '.' || first.back() == ' ' || first.back() == '\r')) first.pop_back();
  return first.empty() ? "unknown failure" : first;
}

// An error object of a library that frees itself.
template <typename E, void (*Free)(E**)>
struct LibraryError {
  E* e = nullptr;
  LibraryError() = default;
  LibraryError(const LibraryError&) = delete;
  LibraryError& operator=(const LibraryError&) = delete;
  ~LibraryError() { clear(); }
  void clear() {
    if (e) Free(&e);
    e = nullptr;
  }
  E** operator&() { return &e; }
};

#if KESTRIX_HAVE_LIBEWF
using EwfError = LibraryError<libewf_error_t, libewf_error_free>;

class EwfReader final : public Reader {
 public:
  EwfReader(const std::string& path, const std::vector<std::string>& segments) {
    EwfError error;
    if (libewf_handle_initialize(&m_handle, &error) != 1) fail(path, error);
    std::vector<NativeName> native;
    for (const std::string& s : segments) native.push_back(nativeName(s));
    std::vector<NativeName::value_type*> names;
    for (NativeName& s : native) names.push_back(s.data());
    if (KESTRIX_NATIVE(libewf_handle_open)(m_handle, names.data(), int(names.size()), LIBEWF_OPEN_READ, &error) != 1)
      fail(path, error);
    size64_t size = 0;
    std::uint32_t chunk = 0, sector = 0;
    if (libewf_handle_get_media_size(m_handle, &size, &error) != 1) fail(path, error);
    if (libewf_handle_get_chunk_size(m_handle, &chunk, &error) == 1 && chunk > 0) m_granule = chunk;
    error.clear();
    if (libewf_handle_get_bytes_per_sector(m_handle, &sector, &error) == 1 && sector > 0) m_sector = sector;
    m_size = std::int64_t(size);
  }
  ~EwfReader() override {
    if (!m_handle) return;
    libewf_handle_close(m_handle, nullptr);
    libewf_handle_free(&m_handle, nullptr);
  }

  std::int64_t mediaSize() const override { return m_size; }
  std::int64_t read(std::int64_t offset, std::byte* out, std::size_t n) override {
    EwfError error;
    return libewf_handle_read_random(m_handle, out, n, offset, &error);
  }
  std::vector<Damage> damaged() override {
    std::uint32_t count = 0;
    EwfError error;
    if (libewf_handle_get_number_of_checksum_errors(m_handle, &count, &error) != 1 || count == 0) return {};
    std::vector<Damage> out;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t first = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(m_handle, i, &first, &sectors, &error) != 1) {
        error.clear();
        continue;
      }
      out.push_back({std::int64_t(first * m_sector), std::int64_t((first + sectors) * m_sector)});
    }
    return out;
  }
  std::size_t granule() const override { return m_granule; }

 private:
  [[noreturn]] void fail(const std::string& path, EwfError& error) {
    const std::string why = errorText(error.e, libewf_error_backtrace_sprint);
    if (m_handle) libewf_handle_free(&m_handle, nullptr);
    m_handle = nullptr;
    refuse(path, ImageFormat::Ewf, why);
  }

  libewf_handle_t* m_handle = nullptr;
  std::int64_t m_size = 0;
  std::size_t m_granule = 32 * 1024;
  std::uint64_t m_sector = 512;
};

// The segment files of the set whose first segment is path: .E01, .E02, ... as they stand
// beside it. A file whose name follows no segment naming is read alone. The library reads a set
// only up to its first missing segment; where later ones stand (up to .E99), the first missing
// one is put in `missing`.
std::vector<std::string> ewfSegments(const std::string& path, std::vector<std::string>& missing) {
  NativeName::value_type** names = nullptr;
  int count = 0;
  EwfError error;
  std::vector<std::string> out;
  const NativeName native = nativeName(path);
  if (KESTRIX_NATIVE(libewf_glob)(native.c_str(), native.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) == 1) {
    for (int i = 0; i < count; ++i) out.push_back(rebuild::textOf(fs::path(names[i])));
#ifdef _WIN32
    libewf_glob_wide_free(names, count, nullptr);
#else
    libewf_glob_free(names, count, nullptr);
#endif
  }
  if (out.empty()) out.push_back(path);
  const std::string& last = out.back();
  const auto digit = [&](std::size_t from_end) { return std::isdigit(static_cast<unsigned char>(last[last.size() - from_end])) != 0; };
  if (last.size() >= 4 && last[last.size() - 4] == '.' && digit(1) && digit(2)) {
    const std::string stem = last.substr(0, last.size() - 2);
    const auto named = [&stem](int n) { return stem + char('0' + n / 10) + char('0' + n % 10); };
    const int next = std::stoi(last.substr(last.size() - 2)) + 1;
    for (int n = next + 1; n <= 99; ++n) {
      std::error_code ec;
      if (fs::is_regular_file(rebuild::pathOf(named(n)), ec)) {
        missing.push_back(named(next));
        break;
      }
    }
  }
  return out;
}
#endif

#if KESTRIX_HAVE_LIBQCOW
using QcowError = LibraryError<libqcow_error_t, libqcow_error_free>;

class QcowReader final : public Reader {
 public:
  explicit QcowReader(const std::string& path) {
    QcowError error;
    if (libqcow_file_initialize(&m_file, &error) != 1) fail(path, errorText(error.e, libqcow_error_backtrace_sprint));
    if (KESTRIX_NATIVE(libqcow_file_open)(m_file, nativeName(path).c_str(), LIBQCOW_OPEN_READ, &error) != 1)
      fail(path, errorText(error.e, libqcow_error_backtrace_sprint));
    std::uint32_t method = 0;
    if (libqcow_file_get_encryption_method(m_file, &method, &error) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE)
      fail(path, "it is encrypted");
    error.clear();
    std::size_t backingSize = 0;
    if (libqcow_file_get_utf8_backing_filename_size(m_file, &backingSize, &error) == 1 && backingSize > 1) {
      std::string backing(backingSize, '\0');
      libqcow_file_get_utf8_backing_filename(m_file, reinterpret_cast<std::uint8_t*>(backing.data()), backingSize,
                                             nullptr);
      backing.resize(std::strlen(backing.c_str()));
      fail(path, "it holds only the changes to the image \"" + backing +
                     "\"; open a copy converted to a standalone image (qemu-img convert)");
    }
    error.clear();
    size64_t size = 0;
    if (libqcow_file_get_media_size(m_file, &size, &error) != 1) fail(path, errorText(error.e, libqcow_error_backtrace_sprint));
    m_size = std::int64_t(size);
  }
  ~QcowReader() override {
    if (!m_file) return;
    libqcow_file_close(m_file, nullptr);
    libqcow_file_free(&m_file, nullptr);
  }
  std::int64_t mediaSize() const override { return m_size; }
  std::int64_t read(std::int64_t offset, std::byte* out, std::size_t n) override {
    QcowError error;
    return libqcow_file_read_buffer_at_offset(m_file, out, n, offset, &error);
  }

 private:
  [[noreturn]] void fail(const std::string& path, const std::string& why) {
    if (m_file) libqcow_file_free(&m_file, nullptr);
    m_file = nullptr;
    refuse(path, ImageFormat::Qcow, why);
  }

  libqcow_file_t* m_file = nullptr;
  std::int64_t m_size = 0;
};
#endif

#if KESTRIX_HAVE_LIBVMDK
using VmdkError = LibraryError<libvmdk_error_t, libvmdk_error_free>;

std::string folderOfFile(const std::string& path) {
  const fs::path parent = rebuild::pathOf(path).parent_path();
  return parent.empty() ? "." : rebuild::textOf(parent);
}

class VmdkReader final : public Reader {
 public:
  // embedded: the file holds its own descriptor and data (monolithic sparse, stream-optimized).
  VmdkReader(const std::string& path, bool embedded) : m_embedded(embedded) {
    VmdkError error;
    if (libvmdk_handle_initialize(&m_handle, &error) != 1) fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    if (KESTRIX_NATIVE(libvmdk_handle_open)(m_handle, nativeName(path).c_str(), LIBVMDK_OPEN_READ, &error) != 1)
      fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    std::size_t parentSize = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(m_handle, &parentSize, &error) == 1 && parentSize > 1) {
      std::string parent(parentSize, '\0');
      libvmdk_handle_get_utf8_parent_filename(m_handle, reinterpret_cast<std::uint8_t*>(parent.data()), parentSize,
                                              nullptr);
      parent.resize(std::strlen(parent.c_str()));
      fail(path, "it holds only the changes to the image \"" + parent +
                     "\"; open a copy converted to a standalone image (qemu-img convert)");
    }
    error.clear();
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(m_handle, &extents, &error) != 1)
      fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    if (m_embedded && extents == 1) {
      // The one extent is this file, whatever name its descriptor gave it when it was made: a
      // renamed image is read, and never another file that bears the old name.
      libbfio_handle_t* file = nullptr;
      int entry = 0;
      const NativeName name = nativeName(path);
      if (libbfio_pool_initialize(&m_pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, nullptr) != 1 ||
          libbfio_file_initialize(&file, nullptr) != 1 ||
          KESTRIX_NATIVE(libbfio_file_set_name)(file, name.c_str(), name.size() + 1, nullptr) != 1 ||
          libbfio_pool_append_handle(m_pool, &entry, file, LIBBFIO_OPEN_READ, nullptr) != 1) {
        if (file) libbfio_handle_free(&file, nullptr);
        fail(path, "cannot open its data");
      }
      if (libvmdk_handle_open_extent_data_files_file_io_pool(m_handle, m_pool, &error) != 1)
        fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    } else {
      // The extents are named relative to the descriptor's folder, not the working folder.
      const NativeName folder = nativeName(folderOfFile(path));
      if (KESTRIX_NATIVE(libvmdk_handle_set_extent_data_files_path)(m_handle, folder.c_str(), folder.size(), &error) != 1 ||
          libvmdk_handle_open_extent_data_files(m_handle, &error) != 1)
        fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    }
    size64_t size = 0;
    if (libvmdk_handle_get_media_size(m_handle, &size, &error) != 1)
      fail(path, errorText(error.e, libvmdk_error_backtrace_sprint));
    m_size = std::int64_t(size);
  }
  ~VmdkReader() override {
    if (m_handle) {
      libvmdk_handle_close(m_handle, nullptr);
      libvmdk_handle_free(&m_handle, nullptr);
    }
    if (m_pool) libbfio_pool_free(&m_pool, nullptr);  // after the handle that reads through it
  }
  std::int64_t mediaSize() const override { return m_size; }
  std::int64_t read(std::int64_t offset, std::byte* out, std::size_t n) override {
    VmdkError error;
    return libvmdk_handle_read_buffer_at_offset(m_handle, out, n, offset, &error);
  }

  // The files the extents are kept in, as paths.
  std::vector<std::string> extentFiles(const std::string& path) {
    std::vector<std::string> out;
    if (m_pool) return {path};
    int count = 0;
    if (libvmdk_handle_get_number_of_extents(m_handle, &count, nullptr) != 1) return out;
    const fs::path folder = rebuild::pathOf(folderOfFile(path));
    for (int i = 0; i < count; ++i) {
      libvmdk_extent_descriptor_t* extent = nullptr;
      if (libvmdk_handle_get_extent_descriptor(m_handle, i, &extent, nullptr) != 1) continue;
      std::size_t size = 0;
      if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 && size > 1) {
        std::string name(size, '\0');
        if (libvmdk_extent_descriptor_get_utf8_filename(extent, reinterpret_cast<std::uint8_t*>(name.data()), size,
                                                        nullptr) == 1) {
          name.resize(std::strlen(name.c_str()));
          out.push_back(rebuild::textOf(folder / rebuild::pathOf(name)));
        }
      }
      libvmdk_extent_descriptor_free(&extent, nullptr);
    }
    return out;
  }

 private:
  [[noreturn]] void fail(const std::string& path, const std::string& why) {
    if (m_handle) libvmdk_handle_free(&m_handle, nullptr);
    if (m_pool) libbfio_pool_free(&m_pool, nullptr);
    m_handle = nullptr;
    refuse(path, ImageFormat::Vmdk, why);
  }

  libvmdk_handle_t* m_handle = nullptr;
  libbfio_pool_t* m_pool = nullptr;
  bool m_embedded = false;
  std::int64_t m_size = 0;
};
#endif

#if KESTRIX_HAVE_LIBVHDI
using VhdiError = LibraryError<libvhdi_error_t, libvhdi_error_free>;

class VhdiReader final : public Reader {
 public:
  VhdiReader(const std::string& path, ImageFormat format) {
    VhdiError error;
    if (libvhdi_file_initialize(&m_file, &error) != 1) fail(path, format, errorText(error.e, libvhdi_error_backtrace_sprint));
    if (KESTRIX_NATIVE(libvhdi_file_open)(m_file, nativeName(path).c_str(), LIBVHDI_OPEN_READ, &error) != 1)
      fail(path, format, errorText(error.e, libvhdi_error_backtrace_sprint));
    std::uint32_t type = 0;
    if (libvhdi_file_get_disk_type(m_file, &type, &error) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
      std::string parent;
      std::size_t size = 0;
      if (libvhdi_file_get_utf8_parent_filename_size(m_file, &size, nullptr) == 1 && size > 1) {
        parent.assign(size, '\0');
        libvhdi_file_get_utf8_parent_filename(m_file, reinterpret_cast<std::uint8_t*>(parent.data()), size, nullptr);
        parent.resize(std::strlen(parent.c_str()));
      }
      fail(path, format, "it holds only the changes to the image \"" + parent + "\"; merge it into its parent first");
    }
    error.clear();
    size64_t size = 0;
    if (libvhdi_file_get_media_size(m_file, &size, &error) != 1)
      fail(path, format, errorText(error.e, libvhdi_error_backtrace_sprint));
    m_size = std::int64_t(size);
  }
  ~VhdiReader() override {
    if (!m_file) return;
    libvhdi_file_close(m_file, nullptr);
    libvhdi_file_free(&m_file, nullptr);
  }
  std::int64_t mediaSize() const override { return m_size; }
  std::int64_t read(std::int64_t offset, std::byte* out, std::size_t n) override {
    VhdiError error;
    return libvhdi_file_read_buffer_at_offset(m_file, out, n, offset, &error);
  }

 private:
  [[noreturn]] void fail(const std::string& path, ImageFormat format, const std::string& why) {
    if (m_file) libvhdi_file_free(&m_file, nullptr);
    m_file = nullptr;
    refuse(path, format, why);
  }

  libvhdi_file_t* m_file = nullptr;
  std::int64_t m_size = 0;
};
#endif

// The disk inside a container. Reads of 1 MiB or more are split in two halves read at once
// by two handles of the library, one on a thread of its own: decompressing is most of the
// cost of reading, and each handle keeps its own cache, so the two halves use both cores.
class ContainerSource final : public scan::ByteSource {
 public:
  ContainerSource(std::unique_ptr<scan::FileByteSource> file, ImageFormat format, std::vector<std::string> files,
                  ReaderFactory open, std::unique_ptr<Reader> first, std::vector<std::string> missing)
      : m_file(std::move(file)), m_format(format), m_open(std::move(open)), m_missing(std::move(missing)) {
    m_size = first->mediaSize();
    m_readers.push_back(std::move(first));
    m_identities.push_back(m_file->identity());
    for (const std::string& f : files) {
      try {
        const scan::FileByteSource other(f);
        if (!(other.identity() == m_file->identity())) m_identities.push_back(other.identity());
      } catch (const Error&) {
        // A file the library opened and that cannot be opened again now: it is read no more.
      }
    }
  }

  std::int64_t size() const override { return m_size; }
  std::string name() const override { return m_file->name(); }
  int lastError() const override { return m_lastError; }
  scan::FileIdentity identity() const override { return m_file->identity(); }
  std::vector<scan::FileIdentity> identities() const override { return m_identities; }
  std::string container() const override { return imageFormatName(m_format); }
  std::vector<std::string> missingFiles() const override { return m_missing; }

  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    m_lastError = 0;
    if (offset < 0 || offset >= m_size || out.empty()) return 0;
    const auto asked = std::size_t(std::min<std::int64_t>(std::int64_t(out.size()), m_size - offset));
    // A range found damaged is not asked of the library again, nor anything past the gap of a
    // missing segment.
    if (offset >= m_gap) {
      m_lastError = EIO;
      return 0;
    }
    std::size_t n = std::size_t(std::min<std::int64_t>(std::int64_t(asked), m_gap - offset));
    for (const Damage& d : m_damaged) {
      if (d.first <= offset && offset < d.end) {
        m_lastError = EIO;
        return 0;
      }
      if (d.first > offset && d.first < offset + std::int64_t(n)) n = std::size_t(d.first - offset);
    }
    constexpr std::size_t kSplit = std::size_t(1) << 20;
    constexpr std::size_t kAlign = 64 * 1024;
    std::size_t got = 0;
    int error = 0;
    if (n >= kSplit && secondReader()) {
      const std::size_t half = n / 2 / kAlign * kAlign;
      std::size_t gotSecond = 0;
      int errorSecond = 0;
      std::thread second([&] { gotSecond = readPart(*m_readers[1], offset + std::int64_t(half), out.subspan(half, n - half), errorSecond); });
      got = readPart(*m_readers[0], offset, out.first(half), error);
      second.join();
      if (got == half) {
        got += gotSecond;
        error = errorSecond;
      }
    } else {
      got = readPart(*m_readers[0], offset, out.first(n), error);
    }
    // What the library returned from a damaged range is not the media's: the read ends
    // before it.
    for (auto& reader : m_readers)
      for (const Damage& d : reader->damaged()) addDamage(d);
    // Past the gap a missing E01 segment leaves, libewf hands back zeros for every chunk, listed
    // as damaged read by read, and keeps each chunk's buffer: read on, a large set would exhaust
    // memory. A set with a segment missing whose damage runs on for a megabyte has reached its
    // gap; chunks failing their checksums alone do not run that long.
    if (!m_missing.empty())
      for (const Damage& d : m_damaged)
        if (d.end - d.first >= kGapRun) m_gap = std::min(m_gap, d.first);
    for (const Damage& d : m_damaged)
      if (d.end > offset && d.first < offset + std::int64_t(got)) {
        got = std::size_t(std::max<std::int64_t>(0, d.first - offset));
        error = EIO;
      }
    if (got < asked) m_lastError = error ? error : EIO;
    return got;
  }

 private:
  bool secondReader() {
    if (m_readers.size() > 1) return true;
    if (m_noSecond || std::thread::hardware_concurrency() < 2) return false;
    try {
      m_readers.push_back(m_open());
      return true;
    } catch (const std::exception&) {
      m_noSecond = true;  // read with the one handle that opened
      return false;
    }
  }

  // Adds d to the damaged ranges, kept apart and in order, joined where they touch.
  void addDamage(Damage d) {
    std::vector<Damage> kept;
    for (const Damage& k : m_damaged)
      if (k.end < d.first || d.end < k.first) {
        kept.push_back(k);
      } else {
        d.first = std::min(d.first, k.first);
        d.end = std::max(d.end, k.end);
      }
    kept.insert(std::upper_bound(kept.begin(), kept.end(), d, [](const Damage& a, const Damage& b) { return a.first < b.first; }), d);
    m_damaged = std::move(kept);
  }

  // Reads out at offset through one handle: the count read. Where the library fails, the
  // range is read again in the library's own units, up to the first that fails.
  static std::size_t readPart(Reader& reader, std::int64_t offset, std::span<std::byte> out, int& error) {
    error = 0;
    const std::int64_t whole = reader.read(offset, out.data(), out.size());
    if (whole == std::int64_t(out.size())) return out.size();
    const std::size_t granule = std::max<std::size_t>(512, reader.granule());
    std::size_t done = 0;
    while (done < out.size()) {
      const auto at = offset + std::int64_t(done);
      const std::size_t length = std::min(out.size() - done, granule - std::size_t(at % std::int64_t(granule)));
      const std::int64_t n = reader.read(at, out.data() + done, length);
      if (n > 0) done += std::size_t(n);
      if (n != std::int64_t(length)) break;
    }
    if (done < out.size()) error = EIO;
    return done;
  }

  std::unique_ptr<scan::FileByteSource> m_file;
  ImageFormat m_format;
  ReaderFactory m_open;
  std::vector<std::string> m_missing;
  std::vector<std::unique_ptr<Reader>> m_readers;
  std::vector<scan::FileIdentity> m_identities;
  std::vector<Damage> m_damaged;
  static constexpr std::int64_t kGapRun = 1 << 20;
  std::int64_t m_size = 0;
  std::int64_t m_gap = std::numeric_limits<std::int64_t>::max();  // where a missing segment's gap begins
  int m_lastError = 0;
  bool m_noSecond = false;
};

}  // namespace

ImageFormat imageFormatOf(std::span<const std::byte> head, std::span<const std::byte> tail) {
  using namespace std::string_view_literals;
  if (startsWith(head, "EVF\x09\x0d\x0a\xff\x00"sv) || startsWith(head, "EVF2\x0d\x0a\x81\x00"sv)) return ImageFormat::Ewf;
  if (startsWith(head, "QFI\xfb"sv)) return ImageFormat::Qcow;
  if (startsWith(head, "KDMV"sv) || startsWith(head, "COWD"sv) || startsWith(head, "# Disk DescriptorFile"sv))
    return ImageFormat::Vmdk;
  if (startsWith(head, "vhdxfile"sv)) return ImageFormat::Vhdx;
  // A dynamic VHD begins with a copy of its footer; a fixed one is the disk with the footer
  // after it.
  if (startsWith(head, "conectix"sv) || startsWith(tail, "conectix"sv)) return ImageFormat::Vhd;
  return ImageFormat::Raw;
}

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Ewf: return "E01";
    case ImageFormat::Qcow: return "qcow2";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Raw: break;
  }
  return "";
}

bool readsImageFormat(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return true;
    case ImageFormat::Ewf: return KESTRIX_HAVE_LIBEWF;
    case ImageFormat::Qcow: return KESTRIX_HAVE_LIBQCOW;
    case ImageFormat::Vmdk: return KESTRIX_HAVE_LIBVMDK;
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx: return KESTRIX_HAVE_LIBVHDI;
  }
  return false;
}

std::unique_ptr<scan::ByteSource> openImage(std::unique_ptr<scan::FileByteSource> file) {
  if (!file->regular()) return file;
  const std::int64_t size = file->size();
  std::vector<std::byte> head(std::size_t(std::min<std::int64_t>(size, 512)));
  std::vector<std::byte> tail(size >= 1024 ? 512 : 0);
  if (file->readAt(0, head) != head.size()) return file;  // read as it is; its reads say what fails
  if (!tail.empty() && file->readAt(size - 512, tail) != tail.size()) tail.clear();
  const ImageFormat format = imageFormatOf(head, tail);
  if (format == ImageFormat::Raw) return file;
  const std::string path = file->name();
  if (!readsImageFormat(format))
    refuse(path, format, "this build of Kestrix reads raw images only; convert it to a raw image first");
  std::vector<std::string> files, missing;
  ReaderFactory open;
  switch (format) {
#if KESTRIX_HAVE_LIBEWF
    case ImageFormat::Ewf:
      files = ewfSegments(path, missing);
      open = [path, files] { return std::unique_ptr<Reader>(std::make_unique<EwfReader>(path, files)); };
      break;
#endif
#if KESTRIX_HAVE_LIBQCOW
    case ImageFormat::Qcow:
      open = [path] { return std::unique_ptr<Reader>(std::make_unique<QcowReader>(path)); };
      break;
#endif
#if KESTRIX_HAVE_LIBVMDK
    case ImageFormat::Vmdk:
      open = [path, embedded = !startsWith(head, "# Disk DescriptorFile")] {
        return std::unique_ptr<Reader>(std::make_unique<VmdkReader>(path, embedded));
      };
      break;
#endif
#if KESTRIX_HAVE_LIBVHDI
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx:
      open = [path, format] { return std::unique_ptr<Reader>(std::make_unique<VhdiReader>(path, format)); };
      break;
#endif
    default: refuse(path, format, "this build of Kestrix reads raw images only; convert it to a raw image first");
  }
  std::unique_ptr<Reader> first = open();
#if KESTRIX_HAVE_LIBVMDK
  if (format == ImageFormat::Vmdk) files = static_cast<VmdkReader&>(*first).extentFiles(path);
#endif
  return std::make_unique<ContainerSource>(std::move(file), format, std::move(files), std::move(open),
                                           std::move(first), std::move(missing));
}

}  // namespace kestrix::sources
