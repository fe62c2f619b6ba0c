#include "TcpSocket.h"

#include <algorithm>
#include <chrono>

namespace net {

namespace {

// How long an attempt runs before it asks whether to go on, and then how
// often: short enough that "Cancel" answers at once, long enough that a
// connection on the local network never shows a dialog for it.
constexpr int kFirstAskMs = 250;
constexpr int kAskEveryMs = 50;

}  // namespace

int AwaitConnection(int timeoutMs, const KeepTrying& keepTrying, const std::function<short(int sliceMs)>& pollSlice)
{
    if (!keepTrying)
        return pollSlice(timeoutMs);
    const auto start = std::chrono::steady_clock::now();
    int slice = kFirstAskMs;
    for (;;) {
        const int spent = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
        const int left = timeoutMs - spent;
        if (left <= 0)
            return 0;
        if (const short events = pollSlice(std::min(slice, left)))
            return events;
        if (!keepTrying())
            return -1;
        slice = kAskEveryMs;
    }
}

void DescribeUnresolved(const std::string& host, bool tryAgain, ConnectFailure* failure)
{
    failure->kind = ConnectFailure::Kind::Unresolved;
    // In the tool's words, not the C library's (which follow the locale).
    failure->text = "the host " + host + " does not resolve" + (tryAgain ? " (no name server answers now)" : "");
}

void DescribeConnectFailure(int osError, bool refused, bool timedOut, bool givenUp, int timeoutMs,
                            ConnectFailure* failure)
{
    failure->osError = osError;
    failure->kind = givenUp    ? ConnectFailure::Kind::GivenUp
                    : refused  ? ConnectFailure::Kind::Refused
                    : timedOut ? ConnectFailure::Kind::TimedOut
                               : ConnectFailure::Kind::Other;
    switch (failure->kind) {
    case ConnectFailure::Kind::GivenUp: failure->text = "the connection attempt was given up"; break;
    case ConnectFailure::Kind::TimedOut:
        failure->text = "no answer within " + std::to_string((timeoutMs + 999) / 1000) + " s";
        break;
    default: failure->text = ErrorText(osError);
    }
}

}  // namespace net
