// The output writer's Windows part. The temporary file is made under a fresh hidden name in
// the target's folder with CREATE_NEW and FILE_FLAG_OPEN_REPARSE_POINT (a name planted there,
// link or not, is never opened); commit flushes it and puts it in place with MoveFileExW
// (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), which replaces a link at the target's
// name rather than following it. The folder stays open without FILE_SHARE_DELETE while the file
// is written, so it cannot be swapped for a junction under the writer. A folder lock is a
// hidden lock file that nobody else may open and that goes when its handle closes.
#include <cerrno>
#include <vector>

#include "io/output_file.h"
#include "io/output_names.h"
#include "io/errors.h"
#include "io/win32.h"

namespace kestrix::rebuild {

namespace {

HANDLE handleOf(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::string joined(const std::string& folder, const std::string& name) { return textOf(pathOf(folder) / pathOf(name)); }

void setOffset(OVERLAPPED& at, std::int64_t offset) {
  at.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
}

// Reads an output's temporary file through its handle.
class WrittenBytes final : public scan::ByteSource {
 public:
  WrittenBytes(HANDLE h, std::string name) : m_h(h), m_name(std::move(name)) {
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileSizeEx(m_h, &size) || !::GetFileInformationByHandle(m_h, &info))
      throw Error("Cannot read file \"" + m_name + "\" back. " + systemReason(win32::lastError()));
    m_size = size.QuadPart;
    m_identity = {true, info.dwVolumeSerialNumber, (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                  0, {}};
  }
  std::int64_t size() const override { return m_size; }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    std::size_t done = 0;
    m_error = 0;
    while (done < out.size() && offset + std::int64_t(done) < m_size) {
      OVERLAPPED at{};
      setOffset(at, offset + std::int64_t(done));
      DWORD got = 0;
      const DWORD want = DWORD(std::min<std::size_t>(out.size() - done, 1u << 30));
      if (!::ReadFile(m_h, out.data() + done, want, &got, &at)) {
        m_error = win32::lastError();
        break;
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }
  std::string name() const override { return m_name; }
  int lastError() const override { return m_error; }
  scan::FileIdentity identity() const override { return m_identity; }

 private:
  HANDLE m_h;
  std::string m_name;
  std::int64_t m_size = 0;
  int m_error = 0;
  scan::FileIdentity m_identity;
};

}  // namespace

OutputFolder::OutputFolder(std::string path) : m_path(std::move(path)) {
  // Without FILE_SHARE_DELETE: nobody renames or removes the folder while it is open.
  win32::Handle folder = win32::openPath(m_path, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder.valid()) throw Error(Message{Message::Code::FolderRefused, {m_path, ""}, win32::lastError()});
  m_handle = reinterpret_cast<std::intptr_t>(folder.release());
}

OutputFolder::~OutputFolder() {
  m_lock = FolderLock();
  if (m_handle != -1) ::CloseHandle(handleOf(m_handle));
}

void OutputFolder::removeLeftovers() {
  // Under the lock no other run writes here: a part file is one a killed run left behind.
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(win32::widen(joined(m_path, ".*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> stale;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isTempName(win32::narrow(found.cFileName)))
      stale.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const std::wstring& name : stale) ::DeleteFileW(win32::widen(joined(m_path, win32::narrow(name))).c_str());
}

void OutputFile::create() {
  m_name = textOf(pathOf(m_path).filename());
  const auto fail = [&](int err) { throw Error(Message{Message::Code::CannotCreate, {m_path}, err}); };
  if (m_name.empty() || m_name == "." || m_name == "..") fail(EISDIR);
  const std::string& folderPath = m_folder->path();
  for (int attempt = 0; m_fd == -1 && attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    win32::Handle file = win32::openPath(joined(folderPath, name), GENERIC_READ | GENERIC_WRITE | DELETE,
                                         FILE_SHARE_READ, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (file.valid()) {
      m_tempName = name;
      // Bytes never written take no room where the file system keeps holes.
      DWORD returned = 0;
      ::DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
      m_fd = reinterpret_cast<std::intptr_t>(file.release());
    } else if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      fail(win32::lastError());
    }
  }
  if (m_fd == -1) fail(EEXIST);
  callWriterHook(WriterStep::Created, m_path);
}

OutputFile::~OutputFile() {
  if (m_fd != -1) ::CloseHandle(handleOf(m_fd));
  if (!m_tempName.empty()) ::DeleteFileW(win32::widen(joined(m_folder->path(), m_tempName)).c_str());
  if (!m_committed && !m_previous.empty()) ::DeleteFileW(win32::widen(joined(m_folder->path(), m_previous)).c_str());
}

void OutputFile::writeAt(std::int64_t offset, std::span<const std::byte> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED at{};
    setOffset(at, offset + std::int64_t(done));
    DWORD written = 0;
    const DWORD want = DWORD(std::min<std::size_t>(data.size() - done, 1u << 30));
    if (!::WriteFile(handleOf(m_fd), data.data() + done, want, &written, &at) || written == 0) {
      const int err = written == 0 && ::GetLastError() == ERROR_SUCCESS ? ENOSPC : win32::lastError();
      throw Error(Message{Message::Code::CannotWriteAt, {m_path, std::to_string(offset + std::int64_t(done))}, err});
    }
    done += written;
  }
}

void OutputFile::resize(std::int64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  if (!::SetFileInformationByHandle(handleOf(m_fd), FileEndOfFileInfo, &end, sizeof end))
    throw Error(Message{Message::Code::CannotResize, {m_path, std::to_string(size)}, win32::lastError()});
}

std::unique_ptr<scan::ByteSource> OutputFile::reader() const {
  return std::make_unique<WrittenBytes>(handleOf(m_fd), m_path);
}

void OutputFile::finish() {
  if (m_fd == -1) return;
  const auto fail = [&](int err) { throw Error(Message{Message::Code::CannotWrite, {m_path}, err}); };
  if (!::FlushFileBuffers(handleOf(m_fd))) fail(win32::lastError());
  // Closed now: a rename needs it open with FILE_SHARE_DELETE by every holder.
  const BOOL closed = ::CloseHandle(handleOf(m_fd));
  m_fd = -1;
  if (!closed) fail(win32::lastError());
}

void OutputFile::commit() {
  if (m_committed) return;
  finish();
  callWriterHook(WriterStep::Committing, m_path);
  const std::string& folder = m_folder->path();
  if (!::MoveFileExW(win32::widen(joined(folder, m_tempName)).c_str(), win32::widen(joined(folder, m_name)).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    throw Error(Message{Message::Code::CannotWrite, {m_path}, win32::lastError()});
  m_tempName.clear();
  m_committed = true;
}

void OutputFile::keepPrevious() {
  const std::string target = joined(m_folder->path(), m_name);
  const DWORD attributes = ::GetFileAttributesW(win32::widen(target).c_str());
  m_hadPrevious = attributes != INVALID_FILE_ATTRIBUTES;
  // A link or a folder there is not kept: a hard link would be to what it leads to.
  if (!m_hadPrevious || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) return;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    if (::CreateHardLinkW(win32::widen(joined(m_folder->path(), name)).c_str(), win32::widen(target).c_str(), nullptr)) {
      m_previous = name;
      return;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS) return;
  }
}

bool OutputFile::restorePrevious() {
  if (!m_committed) return true;
  const std::wstring target = win32::widen(joined(m_folder->path(), m_name));
  bool ok = false;
  if (!m_previous.empty())
    ok = ::MoveFileExW(win32::widen(joined(m_folder->path(), m_previous)).c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  else if (!m_hadPrevious)
    ok = ::DeleteFileW(target.c_str()) != 0;
  if (!ok) return false;
  m_previous.clear();
  m_committed = false;
  return true;
}

void OutputFile::dropPrevious() {
  if (m_previous.empty()) return;
  ::DeleteFileW(win32::widen(joined(m_folder->path(), m_previous)).c_str());
  m_previous.clear();
}

FolderLock::FolderLock(std::intptr_t, const std::string& folder) {
  // Made new: an existing file of that name, or what a link there leads to, is never opened
  // to be deleted.
  const std::string name = joined(folder, ".kestrix-lock");
  win32::Handle lock = win32::openPath(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT);
  if (lock.valid()) {
    m_fd = reinterpret_cast<std::intptr_t>(lock.release());
    return;
  }
  const DWORD err = ::GetLastError();
  if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) {
    // Another run's lock file cannot be opened at all (it shares nothing); any other file of
    // that name is not Kestrix's.
    const win32::Handle other = win32::openPath(name, GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!other.valid() && ::GetLastError() == ERROR_SHARING_VIOLATION)
      throw Error(Message{Message::Code::FolderRefused, {folder, "busy"}});
    throw Error(Message{Message::Code::FolderRefused, {folder, "lockname"}});
  }
  if (err == ERROR_SHARING_VIOLATION) throw Error(Message{Message::Code::FolderRefused, {folder, "busy"}});
  // A folder that takes no lock file (read-only media, no rights to add one) is written without one.
}

FolderLock::FolderLock(const std::string& folder) {
  const OutputFolder open(folder);
  *this = FolderLock(open.handle(), folder);
}

FolderLock::~FolderLock() {
  if (m_fd != -1) ::CloseHandle(handleOf(m_fd));
}

FolderLock::FolderLock(FolderLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (m_fd != -1) ::CloseHandle(handleOf(m_fd));
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

}  // namespace kestrix::rebuild
