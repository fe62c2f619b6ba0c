// SHA-256 of a file's bytes, for a record that names exactly which profile
// was written. Small and plain: a record hashes a file of a few kilobytes.
#pragma once

#include <string>

namespace profile {

// The digest of `bytes` as 64 lowercase hex digits.
std::string Sha256Hex(const std::string& bytes);

}  // namespace profile
