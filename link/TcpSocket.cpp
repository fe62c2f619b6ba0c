#include "TcpSocket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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

namespace {

std::mutex hookMutex;
std::function<void(const std::string&)> lookupHook;

}  // namespace

void SetLookupHook(std::function<void(const std::string& host)> hook)
{
    std::lock_guard<std::mutex> lock(hookMutex);
    lookupHook = std::move(hook);
}

void RunLookupHook(const std::string& host)
{
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = lookupHook;
    }
    if (hook)
        hook(host);
}

int AwaitLookup(int timeoutMs, const KeepTrying& keepTrying, std::function<void()> lookUp)
{
    // A name server may take 20 s; the window waits at most the connect's
    // budget, and a lookup given up ends on its own thread, unseen.
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    const auto done = std::make_shared<Done>();
    std::thread([done, lookUp = std::move(lookUp)] {
        lookUp();
        std::lock_guard<std::mutex> lock(done->mutex);
        done->done = true;
        done->changed.notify_all();
    }).detach();
    return AwaitConnection(timeoutMs, keepTrying, [&done](int sliceMs) {
        std::unique_lock<std::mutex> lock(done->mutex);
        return short(done->changed.wait_for(lock, std::chrono::milliseconds(sliceMs), [&] { return done->done; }));
    });
}

void DescribeLookupUnfinished(const std::string& host, int timeoutMs, ConnectFailure* failure)
{
    failure->kind = ConnectFailure::Kind::TimedOut;
    failure->text = "the lookup of the host " + host + " did not finish within "
                    + std::to_string((timeoutMs + 999) / 1000) + " s (its name server does not answer)";
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
