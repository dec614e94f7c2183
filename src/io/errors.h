#pragma once
// A failure that ends a command. what() is the English text the command line shows, naming the
// thing (usually a path) and the system's reason; message() is the same as a code and its data,
// for a front end that words it in another language.

#include <stdexcept>
#include <string>

#include "io/message.h"

namespace kestrix {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& text) : std::runtime_error(text), m_message{Message::Code::Text, {text}} {}
  explicit Error(Message message) : std::runtime_error(englishText(message)), m_message(std::move(message)) {}
  const Message& message() const { return m_message; }

 private:
  Message m_message;
};

// The message of any exception: an Error's own. What the libraries throw becomes a message
// that names `path` (what was being worked on) and the reason: memory that ran out
// (std::bad_alloc), a file-system call that failed (std::filesystem::filesystem_error, with
// its own path where it names one), else the exception's text.
Message messageOf(const std::exception& e, const std::string& path = {});

// The failure to open a source: the message is "Cannot open file "PATH". REASON" (CannotOpen);
// the errno and the path are kept so the command line can say which rights are needed.
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
