// Finding a display whose address, mode or rate is not known: one port is
// probed address by address and line by line, the likely places first.
// Plain C++: the search owns a link of its own, so it can run on a thread
// of its own while the program's link stays untouched.
#pragma once

#include "Modbus.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SerialLine {
    std::uint8_t modeIndex;  // 0..3 for 8n1, 8n2, 8e1, 8o1
    std::uint8_t rateIndex;  // 0..7, see kPortRates
    bool operator==(const SerialLine& other) const
    {
        return modeIndex == other.modeIndex && rateIndex == other.rateIndex;
    }
    bool operator!=(const SerialLine& other) const { return !(*this == other); }
};

// "9600 8n2"
std::string DescribeLine(const SerialLine& line);

struct ProbeTarget {
    std::uint8_t address;
    SerialLine line;
};

// Every line once: `current` first, then 8n2 (the display's own default)
// at 9600, 19200, 38400 and 115200, then the others, common rates first.
std::vector<SerialLine> SearchLines(const SerialLine& current);

// Every address at every line once: address 1 and `knownAddress` at each
// line first, then every address at `current`, then every address at each
// other line in turn.
std::vector<ProbeTarget> SearchOrder(const SerialLine& current, std::uint8_t knownAddress);

struct FoundDisplay {
    std::uint8_t address;  // the address the reply came from
    SerialLine line;
    int exceptionCode;  // the display answered the probe with this exception; 0 if with its flags
};

class DisplaySearch {
public:
    // The turnaround real displays meet: how long after the 3.5 silent
    // characters that follow a request a reply may begin. The probe's wait
    // adds the wire times.
    static constexpr unsigned kProbeLatencyMs = 50;

    DisplaySearch(std::uint8_t portIndex, std::vector<ProbeTarget> order, unsigned latencyMs = kProbeLatencyMs);
    // The same on a device named by its path.
    DisplaySearch(std::string device, std::vector<ProbeTarget> order, unsigned latencyMs = kProbeLatencyMs);
    DisplaySearch(const DisplaySearch&) = delete;
    DisplaySearch& operator=(const DisplaySearch&) = delete;

    // LineSkipped: the port refused the next probe's line; the search goes
    // on at the other lines.
    enum class Step { Probed, Found, LineSkipped, Finished, OpenFailed, PortLost };
    // Whether the search is over after this step.
    static bool Ends(Step step)
    {
        return step != Step::Probed && step != Step::Found && step != Step::LineSkipped;
    }

    // Opens the port at the first line to be tried that the port takes.
    // False when it cannot be opened at any; link() tells why.
    bool Open();
    // One probe, at the next address not yet found (Found when it brought a
    // display not listed yet), switching the port's line when the probe's
    // differs. Every probe moves the search on, whatever else comes on the
    // line meanwhile. Finished when every target has been tried; the port is
    // closed then, and when the search fails. One display is listed a step:
    // when a probe brings two (a late answer to the probe before, and its
    // own), the next step lists the second without probing.
    Step Next();
    // Closes the port, if open; the search can go on later.
    void Close();

    std::size_t Tried() const { return next_; }
    std::size_t Total() const { return order_.size(); }
    // The probe Next() makes, if any is left.
    std::optional<ProbeTarget> Upcoming();
    const std::vector<FoundDisplay>& Found() const { return found_; }
    // The lines the port refused (a rate it cannot run at), in the order met.
    const std::vector<SerialLine>& SkippedLines() const { return skipped_; }
    // What the user should know of the search so far beyond what it found,
    // a sentence each without its capital and full stop: a gateway slow over
    // silent addresses, one that left probes unanswered, another master's
    // frames on the line. Empty when there is nothing to say.
    std::vector<std::string> EndNotes() const;
    // Frames of another master seen so far (its requests, replies to it).
    unsigned ForeignFrames() const { return foreignFrames_; }
    // Every frame of the search's link goes to the observer, when one is set.
    void SetFrameObserver(FrameObserver observer) { link_.SetFrameObserver(std::move(observer)); }
    // The search's own link: why an open failed or the port was lost.
    const ModbusLink& link() const { return link_; }
    ModbusLink& link() { return link_; }  // for a trace of its frames

private:
    // Moves past targets whose address answered or whose line was refused.
    bool SkipDone();
    bool Skipped(const SerialLine& line) const;
    bool OpenAt(const SerialLine& line);
    void KeepFirstLine();
    // Lists a display that answered at `line`; false when already listed.
    bool List(const ProbeAnswer& answer, const SerialLine& line);
    void Tally(const ProbeNotes& notes);

    std::uint8_t portIndex_;
    std::string device_;  // when not empty, opened instead of the port index
    std::vector<ProbeTarget> order_;
    unsigned latencyMs_;
    std::size_t next_ = 0;
    ConnectionSettings settings_;
    RegisterImage image_;
    ModbusLink link_;
    std::bitset<256> foundAddresses_;
    std::vector<FoundDisplay> found_;
    std::vector<SerialLine> skipped_;
    std::optional<FoundDisplay> unlisted_;  // found, listed at the next step
    unsigned foreignFrames_ = 0;
    // A gateway's exceptions 10 and 11 (no display at a unit id): how many
    // and their time in all; probes it left unanswered.
    unsigned gatewaySilentAnswers_ = 0;
    std::int64_t gatewaySilentMicros_ = 0;
    unsigned gatewayUnanswered_ = 0;
};
