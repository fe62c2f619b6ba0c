#include "Record.h"

#include "Backup.h"
#include "Sha256.h"

namespace profile {

namespace {

// A display's line without its "display 3: ", for the page.
std::string ResultWords(const DisplayResult& result)
{
    const std::string line = WriteReport(result);
    const std::string name = DisplayName(result.address) + ": ";
    return line.compare(0, name.size(), name) == 0 ? line.substr(name.size()) : line;
}

Json GroupsJson(const DisplayResult& result)
{
    Json groups = Json::object();
    for (const GroupResult& group : result.groups)
        groups[GroupName(group.group)] = {{"state", GroupStateName(group.state)}, {"words", group.words}};
    return groups;
}

Json ChangesJson(const DisplayResult& result)
{
    Json changes = Json::array();
    for (const Change& change : result.changes)
        changes.push_back({{"group", GroupName(change.setting->group)},
                           {"setting", change.setting->Name()},
                           {"before", ValueJson(*change.setting, change.before)},
                           {"wanted", ValueJson(*change.setting, change.wanted)},
                           {"after", change.readBack ? ValueJson(*change.setting, change.after) : Json()}});
    return changes;
}

}  // namespace

Json RecordJson(const WriteSession& session)
{
    Json displays = Json::array();
    for (const DisplayResult& result : session.results) {
        Json display = {{"address", result.address},
                        {"result", ResultName(result.outcome)},
                        {"words", ResultWords(result)},
                        {"backup", result.backup.empty() ? Json() : Json(result.backup)},
                        {"groups", GroupsJson(result)},
                        {"changesKnown", result.readBefore},
                        {"changes", ChangesJson(result)}};
        if (const auto own = session.displayProfiles.find(result.address); own != session.displayProfiles.end())
            display["profile"] = {{"path", own->second.path}, {"sha256", Sha256Hex(own->second.bytes)}};
        displays.push_back(std::move(display));
    }
    return {{"format", kRecordFormatName},
            {"version", kRecordFormatVersion},
            {"toolVersion", session.toolVersion},
            {"started", IsoTime(session.started)},
            {"finished", IsoTime(session.finished)},
            {"port", session.port},
            {"line", {{"mode", session.mode}, {"rate", session.rate}}},
            {"profile", {{"path", session.profilePath}, {"sha256", Sha256Hex(session.profileBytes)}}},
            {"summary", WriteSummary(session.results)},
            {"displays", displays}};
}

std::string RecordText(const WriteSession& session)
{
    return DumpJson(RecordJson(session)) + "\n";
}

std::string HtmlEscaped(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string ReportHtml(const WriteSession& session)
{
    const auto e = HtmlEscaped;
    std::string page;
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<title>Commissioning record: " + e(session.profilePath) + "</title>\n";
    // Printed as it is shown: A4, black on white, tables kept whole where they fit.
    page += "<style>\n"
            "@page { size: A4; margin: 15mm; }\n"
            "body { font-family: sans-serif; font-size: 10pt; color: #000; background: #fff; }\n"
            "h1 { font-size: 16pt; margin: 0 0 4mm; }\n"
            "h2 { font-size: 12pt; margin: 6mm 0 2mm; }\n"
            "table { border-collapse: collapse; width: 100%; page-break-inside: auto; }\n"
            "tr { page-break-inside: avoid; }\n"
            "th, td { border: 1px solid #888; padding: 1mm 2mm; text-align: left; vertical-align: top; }\n"
            "th { background: #eee; }\n"
            "table.facts th { width: 30%; }\n"
            ".verified { color: #060; font-weight: bold; }\n"
            ".failed { color: #a00; font-weight: bold; }\n"
            "section { page-break-inside: avoid; }\n"
            "</style>\n</head>\n<body>\n";
    page += "<h1>Commissioning record</h1>\n<table class=\"facts\">\n";
    const auto fact = [&](const std::string& name, const std::string& value) {
        page += "<tr><th>" + e(name) + "</th><td>" + e(value) + "</td></tr>\n";
    };
    fact("Profile", session.profilePath);
    fact("SHA-256 of the profile", Sha256Hex(session.profileBytes));
    fact("Port", session.port);
    fact("Line", session.mode + ", " + std::to_string(session.rate) + " baud");
    fact("Started", IsoTime(session.started));
    fact("Finished", IsoTime(session.finished));
    fact("Tool", "vtconfig " + session.toolVersion);
    fact("Result", WriteSummary(session.results));
    page += "</table>\n";
    for (const DisplayResult& result : session.results) {
        const bool verified = result.outcome == Outcome::Done;
        page += "<section>\n<h2>Display " + std::to_string(result.address) + ": <span class=\""
                + (verified ? "verified\">verified" : "failed\">" + e(ResultName(result.outcome))) + "</span></h2>\n";
        if (const auto own = session.displayProfiles.find(result.address); own != session.displayProfiles.end())
            page += "<p>Written from " + e(own->second.path) + " (SHA-256 " + e(Sha256Hex(own->second.bytes))
                    + ").</p>\n";
        // Its line names the backup too.
        page += "<p>" + e(ResultWords(result)) + "</p>\n";
        page += "<table>\n<tr><th>Group</th><th>State</th></tr>\n";
        for (const GroupResult& group : result.groups)
            page += "<tr><td>" + e(GroupName(group.group)) + "</td><td>" + e(group.words) + "</td></tr>\n";
        page += "</table>\n";
        if (!result.readBefore) {
            page += "<p>Its settings were not read before the write: the changes are not known.</p>\n";
        } else if (result.changes.empty()) {
            page += "<p>No setting differed from the profile before the write.</p>\n";
        } else {
            page += "<table>\n<tr><th>Group</th><th>Setting</th><th>Before</th><th>Profile</th><th>After</th></tr>\n";
            for (const Change& change : result.changes) {
                const Setting& setting = *change.setting;
                page += "<tr><td>" + e(GroupName(setting.group)) + "</td><td>" + e(setting.Name()) + "</td><td>"
                        + e(ValueText(setting, change.before)) + "</td><td>" + e(ValueText(setting, change.wanted))
                        + "</td><td>" + (change.readBack ? e(ValueText(setting, change.after)) : "not read back")
                        + "</td></tr>\n";
            }
            page += "</table>\n";
        }
        page += "</section>\n";
    }
    page += "</body>\n</html>\n";
    return page;
}

}  // namespace profile
