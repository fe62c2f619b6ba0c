// A profile on disk, loaded and saved alike by vtctl and the tool, and
// refused in the same words: each refusal names the file. Paths are UTF-8
// on every system (opened by their wide name on Windows).
#pragma once

#include "Profile.h"

#include <optional>
#include <string>

// The profile in the file at `path`, or nothing and in *refusal why not:
// "cannot read panel.json: No such file or directory",
// "panel.json: rows.I.digits: 25 is outside 1 to 20",
// "fifo: not a regular file (a named pipe)". Only a regular file is opened,
// and never so that the open could wait (a FIFO, a device). The file's
// bytes into *bytes when given, for a record of what was written.
std::optional<profile::Profile> LoadProfileFile(const std::string& path, std::string* refusal,
                                                std::string* bytes = nullptr);

// `text` into the file at `path`, whole or not at all: written beside it
// first, then put in its place in one step (rename; MoveFileExW replacing
// the old file on Windows), so a reader finds the old file or the new one.
// False, and in *error why not: "cannot write panel.json: Permission denied".
bool SaveProfileFile(const std::string& path, const std::string& text, std::string* error);

// The device a path's last part names on Windows, whatever its folder and
// extension ("COM5" for "C:\\work\\com5.json", "NUL" for "nul.txt"), or
// nothing: such a name opens the device, never a file.
std::optional<std::string> WindowsDeviceName(const std::string& path);
