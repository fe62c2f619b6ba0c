// What the network tests stand up on the loopback: the simulated display's
// two network kinds as test rows, a listening socket, a port where a
// connection attempt gets no answer, a Modbus TCP gateway that retries
// silent addresses, and a serial line another master talks on. Plain C++
// but for the test rows, so the benches stand the same peers up.
#pragma once

#include "DeviceServer.h"
#include "Frames.h"
#include "TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using Protocol = sim::DeviceServer::Protocol;

#ifdef QT_TESTLIB_LIB
#include <QtTest>

Q_DECLARE_METATYPE(Protocol)

// The column "protocol", a row for each network kind.
inline void AddProtocolRows()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::newRow("RTU over TCP") << Protocol::RtuOverTcp;
    QTest::newRow("Modbus TCP") << Protocol::ModbusTcp;
}
#endif

// A socket listening on the loopback with room for `backlog` connections not
// yet accepted, and its port in *port; -1 when it cannot listen.
inline int ListenOnLoopback(int backlog, std::uint16_t* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// A port where a connection attempt gets no answer, as at a device server
// that is switched off behind a router: the listener's accept queue holds
// one connection, which a first client takes and nobody accepts, so the
// kernel drops the next attempts' SYNs and they wait.
// A name server that takes 20 s to answer any lookup, for as long as it
// lives: what a connection does while its host's name does not resolve.
class SlowNameServer {
public:
    SlowNameServer()
    {
        const std::shared_ptr<State> state = state_;
        net::SetLookupHook([state](const std::string&) {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->answer.wait_for(lock, std::chrono::seconds(20), [&] { return state->answered; });
        });
    }
    // Lookups given up and still waiting end now; the next ones are not held.
    ~SlowNameServer()
    {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->answered = true;
            state_->answer.notify_all();
        }
        net::SetLookupHook({});
    }
    SlowNameServer(const SlowNameServer&) = delete;
    SlowNameServer& operator=(const SlowNameServer&) = delete;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable answer;
        bool answered = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class StalledListener {
public:
    StalledListener()
    {
        listener_ = ListenOnLoopback(0, &port_);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        queued_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ok_ = listener_ >= 0 && ::connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~StalledListener()
    {
        ::close(queued_);
        if (listener_ >= 0)
            ::close(listener_);
    }
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    bool Ready() const { return ok_; }
    std::string Path(const char* scheme = "tcp://") const
    {
        return scheme + std::string("127.0.0.1:") + std::to_string(port_);
    }

private:
    int listener_ = -1;
    int queued_ = -1;
    std::uint16_t port_ = 0;
    bool ok_ = false;
};

// A Modbus TCP gateway in front of a line with displays at `displays`. It
// masters the line as real ones do, one request at a time: a display's
// answer to a one-register read comes back at once; for a unit id nobody
// answers, it tries again and again and answers exception 11 after
// `silentMs`. One client at a time.
class RetryingGateway {
public:
    RetryingGateway(std::set<std::uint8_t> displays, int silentMs)
        : displays_(std::move(displays)), silentMs_(silentMs)
    {
        listener_ = ListenOnLoopback(4, &port_);
        if (listener_ >= 0)
            thread_ = std::thread([this] { Serve(); });
    }
    ~RetryingGateway()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            if (client_ >= 0)
                ::shutdown(client_, SHUT_RDWR);
        }
        wake_.notify_all();
        if (listener_ >= 0) {
            ::shutdown(listener_, SHUT_RDWR);
            thread_.join();
            ::close(listener_);
        }
    }
    RetryingGateway(const RetryingGateway&) = delete;
    RetryingGateway& operator=(const RetryingGateway&) = delete;

    bool Ready() const { return listener_ >= 0; }
    std::string Path() const { return "modbus-tcp://127.0.0.1:" + std::to_string(port_); }
    // Requests answered with exception 11 so far.
    int SilentAnswers() const { return silentAnswers_; }

private:
    static bool ReadAll(int fd, std::uint8_t* bytes, std::size_t count)
    {
        for (std::size_t got = 0; got < count;) {
            const ssize_t n = ::recv(fd, bytes + got, count - got, 0);
            if (n <= 0)
                return false;
            got += std::size_t(n);
        }
        return true;
    }

    void Serve()
    {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) {
                    ::close(client);
                    return;
                }
                client_ = client;
            }
            ServeClient(client);
            std::lock_guard<std::mutex> lock(mutex_);
            client_ = -1;
            ::close(client);
        }
    }

    void ServeClient(int client)
    {
        std::uint8_t header[7];
        while (ReadAll(client, header, sizeof header)) {
            const std::size_t length = std::size_t(header[4] << 8 | header[5]);
            if (length < 2)
                return;
            std::vector<std::uint8_t> pdu(length - 1);
            if (!ReadAll(client, pdu.data(), pdu.size()))
                return;
            std::vector<std::uint8_t> answer;
            if (displays_.count(header[6]) && pdu[0] == 3) {
                answer = {0x03, 0x02, 0x00, 0x01};
            } else {
                std::unique_lock<std::mutex> lock(mutex_);
                if (wake_.wait_for(lock, std::chrono::milliseconds(silentMs_), [this] { return stopping_; }))
                    return;
                answer = {std::uint8_t(pdu[0] | 0x80), 0x0B};
                ++silentAnswers_;
            }
            const std::vector<std::uint8_t> reply =
                MbapFrame(std::uint16_t(header[0] << 8 | header[1]), header[6], answer.data(), answer.size());
            if (::send(client, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size()))
                return;
        }
    }

    std::set<std::uint8_t> displays_;
    int silentMs_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int client_ = -1;
    std::atomic<int> silentAnswers_ {0};
};

// A serial line on a pseudo-terminal with displays at `displays`, which
// answer one-register reads at once, and another master on it that reads
// one register of the slave at `polled` every `intervalMs`: its request,
// and a moment later the slave's reply, reach the tool as on the bus.
class LineWithAnotherMaster {
public:
    LineWithAnotherMaster(std::set<std::uint8_t> displays, std::uint8_t polled, int intervalMs)
        : displays_(std::move(displays)), polled_(polled), intervalMs_(intervalMs)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0
            || ::ptsname_r(master_, name, sizeof name) != 0)
            return;
        devicePath_ = name;
        // Kept open, so the line is there between the tool's opens; raw, so
        // nothing is echoed before the tool sets it.
        slaveKeeper_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio {};
        ::tcgetattr(slaveKeeper_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveKeeper_, TCSANOW, &tio);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LineWithAnotherMaster()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        if (slaveKeeper_ >= 0)
            ::close(slaveKeeper_);
        if (master_ >= 0)
            ::close(master_);
    }
    LineWithAnotherMaster(const LineWithAnotherMaster&) = delete;
    LineWithAnotherMaster& operator=(const LineWithAnotherMaster&) = delete;

    bool Ready() const { return !devicePath_.empty() && slaveKeeper_ >= 0; }
    const std::string& DevicePath() const { return devicePath_; }
    // The other master's requests and its slave's replies sent so far.
    int ForeignFrames() const { return foreignFrames_; }
    // Probes the displays answered.
    int Answered() const { return answered_; }

private:
    void Send(const std::vector<std::uint8_t>& frame) { (void)!::write(master_, frame.data(), frame.size()); }

    void Serve()
    {
        const std::uint8_t pollRequest[] = {0x03, 0x00, 0x10, 0x00, 0x01};
        const std::uint8_t pollReply[] = {0x03, 0x02, 0x12, 0x34};
        std::vector<std::uint8_t> heard;
        auto nextPoll = std::chrono::steady_clock::now();
        while (!stopping_) {
            pollfd fds {master_, POLLIN, 0};
            if (::poll(&fds, 1, 2) > 0 && (fds.revents & POLLIN)) {
                std::uint8_t chunk[256];
                const ssize_t n = ::read(master_, chunk, sizeof chunk);
                if (n > 0)
                    heard.insert(heard.end(), chunk, chunk + n);
            }
            // The tool's requests: a one-register read of a display here is answered.
            while (heard.size() >= 8) {
                if (!CrcHolds(heard.data(), 8)) {
                    heard.erase(heard.begin());
                    continue;
                }
                if (displays_.count(heard[0]) && heard[1] == 3 && heard[5] == 1) {
                    const std::uint8_t flags[] = {0x03, 0x02, 0x00, 0x01};
                    Send(RtuFrame(heard[0], flags, sizeof flags));
                    ++answered_;
                }
                heard.erase(heard.begin(), heard.begin() + 8);
            }
            if (std::chrono::steady_clock::now() >= nextPoll) {
                Send(RtuFrame(polled_, pollRequest, sizeof pollRequest));
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
                Send(RtuFrame(polled_, pollReply, sizeof pollReply));
                foreignFrames_ += 2;
                nextPoll = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs_);
            }
        }
    }

    std::set<std::uint8_t> displays_;
    std::uint8_t polled_;
    int intervalMs_;
    int master_ = -1;
    int slaveKeeper_ = -1;
    std::string devicePath_;
    std::thread thread_;
    std::atomic<bool> stopping_ {false};
    std::atomic<int> foreignFrames_ {0};
    std::atomic<int> answered_ {0};
};
