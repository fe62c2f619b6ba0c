// A profile on disk, loaded and saved alike by vtctl and the tool, and
// refused in the same words: each refusal names the file.
#pragma once

#include "Profile.h"

#include <optional>
#include <string>

// The profile in the file at `path`, or nothing and in *refusal why not:
// "cannot read panel.json: No such file or directory",
// "panel.json: rows.I.digits: 25 is outside 1 to 20".
std::optional<profile::Profile> LoadProfileFile(const std::string& path, std::string* refusal);

// `text` into the file at `path`, whole or not at all: written beside it
// first, then put in its place. False, and in *error why not:
// "cannot write panel.json: Permission denied".
bool SaveProfileFile(const std::string& path, const std::string& text, std::string* error);
