// The record of a write to displays, for the technician's files and the
// customer: a JSON record a program reads, and one self-contained HTML page
// a person reads and prints. vtctl and the panel profiles window build both
// here. See docs/record.md.
#pragma once

#include "Profile.h"
#include "Transfer.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace profile {

constexpr const char* kRecordFormatName = "vtconfig-record";
constexpr int kRecordFormatVersion = 1;

// What a write did, as the caller saw it.
struct WriteSession {
    std::string toolVersion;
    std::time_t started = 0;
    std::time_t finished = 0;
    std::string port;       // as the user named it: "COM 1", "/dev/ttyUSB0", "tcp://host:4001"
    std::string mode;       // "8n2"
    std::uint32_t rate = 0; // 9600
    std::string profilePath;
    std::string profileBytes;  // the file's bytes as written, for their SHA-256
    // A display written from a file of its own instead (an undo writes each
    // display its own backup): its path and bytes, by address.
    struct Source {
        std::string path;
        std::string bytes;
    };
    std::map<std::uint8_t, Source> displayProfiles;
    std::vector<DisplayResult> results;
};

// The record as JSON: format, version, toolVersion, started, finished, port,
// line, profile and a result per display with its groups and changes.
Json RecordJson(const WriteSession& session);
// Its text, as the file holds it.
std::string RecordText(const WriteSession& session);

// The page: no scripts, no outside files, CSS that prints on A4; a table
// per display of the settings that changed, its result in words.
std::string ReportHtml(const WriteSession& session);

// `text` with &, <, >, " and ' as HTML entities.
std::string HtmlEscaped(const std::string& text);

}  // namespace profile
