// A display's settings kept before a write, as a profile file that writes
// them back: one file per display and write, in the user's state folder.
// Plain C++ for vtctl and the panel profiles window alike.
#pragma once

#include "Profile.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace profile {

// Where backups go when no folder is given: $XDG_STATE_HOME/vtconfig/backups,
// else ~/.local/state/vtconfig/backups; %LOCALAPPDATA%\vtconfig\backups on
// Windows. Empty when none of those can be named.
std::string DefaultBackupFolder();

// "display-7-20261210-141502.json": the display's address and the local time.
std::string BackupFileName(std::uint8_t address, std::time_t when);

// `folder` and the folders above it made where missing. False, and in
// *error why not: "cannot make the folder /x/backups: Permission denied".
bool MakeFolder(const std::string& folder, std::string* error);

// The profile kept in `folder` (made where missing) under BackupFileName;
// a file of that name already there is not replaced, the new one gets "-2",
// "-3" before ".json". The file's path, or empty and in *error why not.
std::string SaveBackup(const std::string& folder, std::uint8_t address, const Profile& settings, std::time_t when,
                       std::string* error);

// `when` as ISO 8601 local time with the offset: "2026-12-10T14:15:02+01:00".
std::string IsoTime(std::time_t when);

}  // namespace profile
