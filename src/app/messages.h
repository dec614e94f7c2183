#pragma once
// The engine's messages in the window's language: each code has a Chinese text (the source) and
// its English translation; the data (paths, sizes, the system's reason) is filled in.

#include <QString>

#include <exception>
#include <string>

#include "io/message.h"

namespace kestrix::app {

// The text for one engine message.
QString messageText(const Message& message);

// The text for a caught exception: the engine's message for a kestrix::Error; for another,
// the reason (memory ran out, a file-system call failed) and `path`, what was being worked on.
QString errorText(const std::exception& e, const std::string& path = {});

// The system's reason for an errno value, in the window's language for the common ones
// (missing, refused, full, read error, ...), in the system's words for the rest.
QString systemReasonText(int err);

}  // namespace kestrix::app
