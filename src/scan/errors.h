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

// The system's reason for an errno value, e.g. "No such file or directory".
std::string systemReason(int err);

// "Cannot open file "PATH". REASON"
std::string cannotOpenMessage(const std::string& path, int err);

}  // namespace kestrix
