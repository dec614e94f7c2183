#pragma once
// A failure that ends a command. The message is the text the user sees, naming the
// thing (usually a path) and the system's reason.

#include <stdexcept>
#include <string>

namespace kestrix {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The failure to open a source: the message is "Cannot open file "PATH". REASON"; the errno
// and the path are kept so the command line can say which rights are needed.
class SourceOpenError : public Error {
 public:
  SourceOpenError(std::string path, int err);
  const std::string& path() const { return m_path; }
  int error() const { return m_error; }

 private:
  std::string m_path;
  int m_error;
};

// The system's reason for an errno value, e.g. "No such file or directory".
std::string systemReason(int err);

// "Cannot open file "PATH". REASON"
std::string cannotOpenMessage(const std::string& path, int err);

}  // namespace kestrix
