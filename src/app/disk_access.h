#pragma once
// What the window says when a source cannot be opened.

#include <QString>

#include <exception>

namespace kestrix::app {

// The system's message and, for a disk or partition the user may not read, how to get disk
// access: the desktop menu's "run as administrator" action, or the group that may read it.
// Image files need no such rights, and the window goes on working on them.
QString sourceErrorText(const std::exception& e);  // in the window's language (errorText)

}  // namespace kestrix::app
