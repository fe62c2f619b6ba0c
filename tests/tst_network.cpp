// The link over the network, on the loopback: the simulated display behind a
// device server (RTU over TCP) and behind a Modbus TCP gateway, and peers
// scripted byte by byte where the timing of a reply is the point.
#include "DisplaySearch.h"
#include "FrameLog.h"
#include "NetworkPeers.h"
#include "NetworkTransport.h"
#include "PortMessages.h"
#include "ProgramLink.h"
#include "SimFixture.h"
#include "TcpSocket.h"

#include <QRegularExpression>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <functional>
#include <sstream>
#include <thread>

namespace {

constexpr std::uint8_t k8n2 = 1, k9600 = 2;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values)
{
    return std::vector<std::uint8_t>(values.begin(), values.end());
}

// A listening socket on the loopback and its port.
int Listen(std::uint16_t* port)
{
    const int fd = ListenOnLoopback(1, port);
    if (fd < 0)
        qFatal("cannot listen on the loopback");
    return fd;
}

// A peer whose every byte the test writes: it takes one connection and
// hands it to `script` on a thread of its own.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int client)> script)
    {
        listener_ = Listen(&port_);
        thread_ = std::thread([this, script = std::move(script)] {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            client_ = client;
            script(client);
        });
    }
    // A script still waiting (a test that failed half-way) ends here.
    ~ScriptedPeer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        if (client_ >= 0)
            ::shutdown(client_, SHUT_RDWR);
        thread_.join();
        if (client_ >= 0)
            ::close(client_);
        ::close(listener_);
    }
    std::string Path(const char* scheme) const { return scheme + std::string("127.0.0.1:") + std::to_string(port_); }

private:
    int listener_ = -1;
    std::atomic<int> client_ {-1};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Reads exactly `count` bytes from a scripted peer's client.
std::vector<std::uint8_t> Take(int client, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::recv(client, bytes.data() + got, count - got, 0);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

void Give(int client, const std::vector<std::uint8_t>& bytes)
{
    (void)!::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Another program's connection to a server on the loopback; its reads give
// up after 3 s, so a reply that never comes fails the test instead of
// hanging it.
int ConnectToLoopback(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        qFatal("cannot connect to the loopback");
    const timeval limit {3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// A Modbus TCP read of the display's status register under transaction `id`.
std::vector<std::uint8_t> MbapStatusRead(std::uint16_t id)
{
    return Bytes({id >> 8, id & 0xFF, 0, 0, 0, 6, 1, 3, int(kProbeRegister >> 8), int(kProbeRegister & 0xFF), 0, 1});
}

}  // namespace

class NetworkTest : public QObject {
    Q_OBJECT
    SimFixture sim;
    std::unique_ptr<sim::DeviceServer> server;

    // The simulated display behind a server of that protocol, mapped to COM 1
    // as a user's VT_COM1 may map it.
    void Serve(Protocol protocol, const sim::SimDisplay::Options& options = {})
    {
        server.reset();
        sim.Start(options);
        server = std::make_unique<sim::DeviceServer>(*sim.display, protocol);
        std::string error;
        QVERIFY2(server->Start(0, &error), error.c_str());
        setenv("VT_COM1", server->Path().c_str(), 1);
    }

private slots:
    void cleanup()
    {
        server.reset();
        sim.Stop();
    }

    // ---- frames and paths

    void framesWrapTheSamePdu()
    {
        // Read 3 registers from 4022: the PDU alone, as RTU and under MBAP.
        const auto pdu = Bytes({0x03, 0x0F, 0xB6, 0x00, 0x03});
        QCOMPARE(RtuFrame(1, pdu.data(), pdu.size()), Bytes({0x01, 0x03, 0x0F, 0xB6, 0x00, 0x03, 0xE7, 0x39}));
        QCOMPARE(MbapFrame(0x1234, 7, pdu.data(), pdu.size()),
                 Bytes({0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x07, 0x03, 0x0F, 0xB6, 0x00, 0x03}));
        // The RTU frame the link builds for the same read.
        Settings.displayAddress = 1;
        QCOMPARE(Link.BuildReadRequest(1, 4022, 3), 8);
        QCOMPARE(Bytes({Link.TransmitBuffer()[6], Link.TransmitBuffer()[7]}), Bytes({0xE7, 0x39}));
    }

    void networkPathsAreRead_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("named");
        QTest::newRow("address") << "tcp://192.0.2.7:4001" << true << "192.0.2.7:4001 (RTU over TCP)";
        QTest::newRow("host name") << "modbus-tcp://gw.plant:502" << true << "gw.plant:502 (Modbus TCP)";
        QTest::newRow("IPv6") << "tcp://[fe80::1]:4001" << true << "[fe80::1]:4001 (RTU over TCP)";
        QTest::newRow("no port") << "tcp://192.0.2.7" << false << "";
        QTest::newRow("port 0") << "tcp://192.0.2.7:0" << false << "";
        QTest::newRow("port too large") << "tcp://192.0.2.7:65536" << false << "";
        QTest::newRow("no host") << "tcp://:502" << false << "";
        QTest::newRow("IPv6 without brackets") << "tcp://fe80::1:502" << false << "";
        QTest::newRow("a serial device") << "/dev/ttyUSB0" << false << "";
    }

    void networkPathsAreRead()
    {
        QFETCH(QString, path);
        QFETCH(bool, valid);
        QFETCH(QString, named);
        const PortTarget port = PortTarget::Of(path.toStdString());
        const std::optional<NetworkAddress>& address = port.address;
        QCOMPARE(address.has_value(), valid);
        QCOMPARE(port.network, path.contains(QStringLiteral("://")));
        if (valid) {
            QCOMPARE(QString::fromStdString(PortWithDevice(path.toStdString(), port)), named);
            QCOMPARE(QString::fromStdString(address->Path()), path);
        }
    }

    // ---- exchanges through the simulated display

    void blocksTravelBothWays_data() { AddProtocolRows(); }

    void blocksTravelBothWays()
    {
        QFETCH(Protocol, protocol);
        Serve(protocol);
        for (unsigned k = 0; k < Blocks::Rows.quantity; ++k)
            sim.display->SetRegister(Blocks::Rows.first + k, 100 + k);
        sim.display->SetRegisterFloat(7610, 12.5f);
        QCOMPARE(SimFixture::OpenAt(k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlocks({Blocks::Rows, Blocks::Alarms}, 500), ReadResult::Stored);
        QCOMPARE(Image.Get(Blocks::Rows.first + 15), 115u);
        QCOMPARE(Image.GetFloat(7610), 12.5f);
        Image.Set(4025, 7);
        Image.SetFloat(7611, -3.25f);
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 500), WriteResult::Acknowledged);
        QCOMPARE(Link.WriteBlock(Blocks::Alarms, 500), WriteResult::Acknowledged);
        QCOMPARE(sim.display->Register(4025), 7u);
        QCOMPARE(sim.display->RegisterFloat(7611), -3.25f);
        // A refusal comes back as it does on a serial line.
        sim.display->InjectFault({sim::FaultKind::Exception, 2});
        QCOMPARE(Link.ReadBlock(Blocks::Clock, 500), ReadResult::Rejected);
        QCOMPARE(Link.LastExceptionCode(), 2);
    }

    void theSearchProbesAddressesOnly_data() { AddProtocolRows(); }

    void theSearchProbesAddressesOnly()
    {
        QFETCH(Protocol, protocol);
        sim::SimDisplay::Options options;
        options.moreAddresses = {5};
        Serve(protocol, options);
        const SerialLine current {k8n2, k9600};
        // The first eight addresses at every line: over the network only the
        // current line's are probed, the line being the device server's.
        // Over Modbus TCP a silent unit id holds the gateway for its time-out:
        // the display behind it is found all the same.
        std::vector<ProbeTarget> order = SearchOrder(current, 1);
        order.erase(std::remove_if(order.begin(), order.end(), [](const ProbeTarget& t) { return t.address > 8; }),
                    order.end());
        QVERIFY(order.size() > 8);
        DisplaySearch search(server->Path(), order, 0);
        QCOMPARE(search.Total(), std::size_t(8));
        QVERIFY(search.Open());
        DisplaySearch::Step step;
        while (!DisplaySearch::Ends(step = search.Next())) {
        }
        QCOMPARE(step, DisplaySearch::Step::Finished);
        QCOMPARE(search.Found().size(), std::size_t(2));
        QCOMPARE(int(search.Found()[0].address), 1);
        QCOMPARE(int(search.Found()[1].address), 5);
    }

    // ---- failures named, and the next action connecting again

    void aRefusedConnectionIsNamed()
    {
        std::uint16_t port = 0;
        ::close(Listen(&port));  // nobody listens there any more
        const std::string path = "tcp://127.0.0.1:" + std::to_string(port);
        QCOMPARE(Link.OpenDevice(path, k8n2, k9600), -1);
        QCOMPARE(QString::fromStdString(PortOpenFailureText(Link, path)),
                 QString("Cannot open 127.0.0.1:%1 (RTU over TCP): Connection refused").arg(port));
        QVERIFY(!Link.IsOpen());
        QCOMPARE(Link.OpenDevice("modbus-tcp://host.invalid:502", k8n2, k9600), -1);
        QVERIFY(Link.LastOpenErrorText().find("the host host.invalid does not resolve") == 0);
    }

    void theTraceShowsFramesAsTheyTravelled()
    {
        std::ostringstream trace;
        TraceFrames(Link, trace, [] { return std::string("COM 1"); });
        Serve(Protocol::ModbusTcp);
        QCOMPARE(SimFixture::OpenAt(k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        // The MBAP header (transaction 1, protocol 0, length, unit 1) and the PDU, no CRC.
        QVERIFY2(trace.str().find("  00 01 00 00 00 06 01 03 0F B9 00 04\n") != std::string::npos, trace.str().c_str());
        QVERIFY2(trace.str().find("  00 01 00 00 00 0B 01 03 08 ") != std::string::npos, trace.str().c_str());
        Link.ClosePort();
        // Through a device server the RTU frame is what travelled, CRC and all.
        trace.str({});
        Serve(Protocol::RtuOverTcp);
        QCOMPARE(SimFixture::OpenAt(k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        QVERIFY2(trace.str().find("  01 03 0F B9 00 04 ") != std::string::npos, trace.str().c_str());
        Link.ClosePort();
        Link.SetFrameObserver(nullptr);
    }

    void theGatewayLogsItsModbusTcpFrames()
    {
        sim.Start();
        std::ostringstream log;
        server = std::make_unique<sim::DeviceServer>(*sim.display, Protocol::ModbusTcp, &log);
        QVERIFY(server->Start(0));
        server->CheckByteCounts(true);
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        QCOMPARE(Link.ReadBlock(Blocks::Alarms, 500), ReadResult::Rejected);
        Link.ClosePort();
        server.reset();  // its thread has logged all it will
        const QString text = QString::fromStdString(log.str());
        // Protocol 0, length 6, unit 1, then the PDU: a read of 4 from 4025; its reply carries 8 bytes.
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral(
                     "-> 127\\.0\\.0\\.1:\\d+ Modbus TCP  [0-9A-F]{2} [0-9A-F]{2} 00 00 00 06 01 03 0F B9 00 04\n"))),
                 qPrintable(text));
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral(
                     "<- 127\\.0\\.0\\.1:\\d+ Modbus TCP  [0-9A-F]{2} [0-9A-F]{2} 00 00 00 0B 01 03 08( [0-9A-F]{2}){8}\n"))),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("01 83 04  refused by the gateway: byte count")), qPrintable(text));
    }

    void aGatewaysNoReplyIsNoReply_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("writes");
        QTest::addColumn<bool>("atItsTimeOut");  // else the answer comes as the display's own
        QTest::newRow("read, exception 10") << 10 << false << false;
        QTest::newRow("read, exception 11") << 11 << false << false;
        QTest::newRow("write, exception 11") << 11 << true << false;
        QTest::newRow("read, given up with 11") << 11 << false << true;
        QTest::newRow("write, given up with 10") << 10 << true << true;
    }

    void aGatewaysNoReplyIsNoReply()
    {
        // A gateway answers for a display that did not answer it: that is no
        // reply (a script's exit code depends on it), named as the gateway's.
        QFETCH(int, code);
        QFETCH(bool, writes);
        QFETCH(bool, atItsTimeOut);
        Serve(Protocol::ModbusTcp);
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        if (atItsTimeOut) {
            // The gateway waits 300 ms for a silent display, then says so.
            server->GiveUpAfter(300, std::uint8_t(code));
            sim.display->InjectFault({sim::FaultKind::Silent});
        } else {
            sim.display->InjectFault({sim::FaultKind::Exception, code});
        }
        if (writes)
            QCOMPARE(Link.WriteBlock(Blocks::Brightness, 500), WriteResult::NoReply);
        else
            QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::NoReply);
        QVERIFY(Link.LastFailedStep().gatewayNoReply);
        QCOMPARE(StepFailureText(Link), "No reply through the gateway: the gateway at 127.0.0.1:"
                                            + std::to_string(server->Port()) + " got no reply from address 1 (exception "
                                            + std::to_string(code)
                                            + "); check the address, and the gateway's line to the display (rate, "
                                              "mode, wiring).");
        // vtctl's line for the display, in the same words.
        QCOMPARE(StepProblemText(Link), "no reply through the gateway: the gateway at 127.0.0.1:"
                                            + std::to_string(server->Port()) + " got no reply from address 1 (exception "
                                            + std::to_string(code) + ")");
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        Link.ClosePort();
    }

    void aGatewayRefusingTheWideRegistersIsNamed()
    {
        // 16-bit writes go through, the display's 32-bit ones are refused with
        // exception 3 by the gateway's byte-count check.
        Serve(Protocol::ModbusTcp);
        server->CheckByteCounts(true);
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 500), WriteResult::Acknowledged);
        QCOMPARE(Link.WriteBlock(Blocks::CoefficientsInputI, 500), WriteResult::Refused);
        QCOMPARE(StepFailureText(Link), "The display's 32-bit registers (from 7500 on) did not come through the "
                                        "Modbus TCP gateway at 127.0.0.1:" + std::to_string(server->Port())
                                            + ", though its 16-bit registers do: the gateway may refuse their byte "
                                              "counts. Connect through a serial device server with RTU over TCP, "
                                              "which carries the frames as they are.");
        Link.ClosePort();
    }

    void aReplyOfAnotherByteCountIsNamedNotMissing_data()
    {
        QTest::addColumn<bool>("wide");
        QTest::addColumn<int>("carried");
        QTest::addColumn<QString>("said");
        QTest::newRow("32-bit values as 16-bit ones")
            << true << 16
            << QStringLiteral("The reply carried 16 bytes where the display's 32-bit registers give 32: the device "
                              "at address 1 is no VT5/RQ8 display, or a gateway converts its registers.");
        QTest::newRow("16-bit values as 32-bit ones")
            << false << 16
            << QStringLiteral("The reply carried 16 bytes where the display's 16-bit registers give 8: the device "
                              "at address 1 is no VT5/RQ8 display, or a gateway converts its registers.");
    }

    void aReplyOfAnotherByteCountIsNamedNotMissing()
    {
        // A reply of the right shape and a sound CRC, of another length: it
        // is judged when whole, not waited out and called no reply.
        QFETCH(bool, wide);
        QFETCH(int, carried);
        ScriptedPeer peer([carried](int client) {
            Take(client, 8);
            std::vector<std::uint8_t> reply {1, 3, std::uint8_t(carried)};
            reply.resize(3 + std::size_t(carried), 0);
            reply.resize(3 + std::size_t(carried) + 2);
            AppendCrc(reply.data(), 3 + std::size_t(carried));
            Give(client, reply);
            Take(client, 1);  // until the tool lets go
        });
        QCOMPARE(Link.OpenDevice(peer.Path("tcp://"), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(wide ? Blocks::Alarms : Blocks::Brightness, 500), ReadResult::Rejected);
        QCOMPARE(Link.LastRejection(), Rejection::ByteCount);
        QTEST(QString::fromStdString(StepFailureText(Link)), "said");
        QCOMPARE("T" + StepProblemText(Link).substr(1) + ".", StepFailureText(Link));  // vtctl says the same
        Link.ClosePort();
    }

    void aConnectionAttemptIsGivenUpWhenAsked_data() { AddProtocolRows(); }

    void aConnectionAttemptIsGivenUpWhenAsked()
    {
        QFETCH(Protocol, protocol);
        const char* scheme = protocol == Protocol::ModbusTcp ? "modbus-tcp://" : "tcp://";
        Serve(protocol);
        int asked = 0;
        Link.SetConnectWatch([&asked] { return ++asked < 3; });
        // A connection made at once never asks: no dialog flashes up for it.
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(asked, 0);
        QVERIFY(!Link.LastOpenGivenUp());
        // One that waits asks, and stops when told to.
        StalledListener stalled;
        QVERIFY(stalled.Ready());
        QCOMPARE(Link.OpenDevice(stalled.Path(scheme), k8n2, k9600), -1);
        QCOMPARE(asked, 3);
        QVERIFY(Link.LastOpenGivenUp());
        QCOMPARE(Link.LastOpenErrorText(), std::string("the connection attempt was given up"));
        QVERIFY(!Link.IsOpen());
        // The next open is judged afresh.
        QCOMPARE(Link.OpenDevice("tcp://host.invalid:502", k8n2, k9600), -1);
        QVERIFY(!Link.LastOpenGivenUp());
        Link.SetConnectWatch({});
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        Link.ClosePort();
    }

    void aSlowNameServerEndsWithinTheBudget_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("reason");
        QTest::newRow("at 3 s") << false
                                << QStringLiteral("Cannot open localhost:4001 (RTU over TCP): the lookup of the host "
                                                  "localhost did not finish within 3 s (its name server does not answer)");
        QTest::newRow("at Cancel") << true
                                   << QStringLiteral("Cannot open localhost:4001 (RTU over TCP): the connection attempt "
                                                     "was given up");
    }

    void aSlowNameServerEndsWithinTheBudget()
    {
        // A name server that takes 20 s: the lookup runs on a thread of its
        // own, inside the connection's 3 s and its "Cancel", and is left to
        // end alone.
        QFETCH(bool, cancelled);
        std::optional<SlowNameServer> nameServer(std::in_place);
        int asked = 0;
        if (cancelled)
            Link.SetConnectWatch([&asked] { return ++asked < 2; });
        QCOMPARE(Link.OpenDevice("tcp://localhost:4001", k8n2, k9600), -1);
        nameServer.reset();
        Link.SetConnectWatch({});
        QCOMPARE(Link.LastOpenGivenUp(), cancelled);
        QTEST(QString::fromStdString(PortOpenFailureText(Link, "")), "reason");
        QCOMPARE(asked, cancelled ? 2 : 0);
        // The name server answers in time again: the next open is judged afresh.
        Serve(Protocol::RtuOverTcp);
        std::string path = server->Path();
        path.replace(path.find("127.0.0.1"), std::strlen("127.0.0.1"), "localhost");
        QCOMPARE(Link.OpenDevice(path, k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        Link.ClosePort();
    }

    void theGatewayServesSeveralClientsAndEveryRequest()
    {
        // A client that connected and sends nothing keeps nobody out: the
        // gateway serves several at once, as gateways do.
        Serve(Protocol::ModbusTcp);
        const int idle = ConnectToLoopback(server->Port());
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        // Two requests in one packet are both answered, each under its own
        // transaction, without a third to push the second along.
        const int client = ConnectToLoopback(server->Port());
        std::vector<std::uint8_t> both = MbapStatusRead(0x0101);
        const std::vector<std::uint8_t> second = MbapStatusRead(0x0202);
        both.insert(both.end(), second.begin(), second.end());
        Give(client, both);
        const std::vector<std::uint8_t> replies = Take(client, 2 * 11);
        QCOMPARE(replies.size(), std::size_t(22));
        QCOMPARE(int(replies[0]), 0x01);
        QCOMPARE(int(replies[11]), 0x02);
        QCOMPARE(int(replies[18]), 3);
        // The tool's own exchanges go on between them.
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        ::close(client);
        ::close(idle);
        Link.ClosePort();
    }

    void aBusyDeviceServerIsNamedInItsOwnWords()
    {
        // A serial device server gives its line to one client; the second is
        // told "Port already in use" and let go, and the tool says so.
        Serve(Protocol::RtuOverTcp);
        const int first = ConnectToLoopback(server->Port());
        QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::PortLost);
        QCOMPARE(PortLostText(Link, ""), "The connection to 127.0.0.1:" + std::to_string(server->Port())
                                             + " was lost: the device server is busy with another client (it said "
                                               "\"Port already in use\")");
        ::close(first);
        // Once the other client has gone, the line is the tool's.
        ReadResult result = ReadResult::PortLost;
        for (int attempt = 0; attempt < 50 && result != ReadResult::Stored; ++attempt) {
            QCOMPARE(Link.OpenDevice(server->Path(), k8n2, k9600), 1);
            result = Link.ReadBlock(Blocks::Brightness, 500);
            if (result != ReadResult::Stored)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        QCOMPARE(result, ReadResult::Stored);
        Link.ClosePort();
    }

    void aConnectionDroppedMidReply_data() { AddProtocolRows(); }

    void aConnectionDroppedMidReply()
    {
        QFETCH(Protocol, protocol);
        Serve(protocol);
        QCOMPARE(SimFixture::OpenAt(k8n2, k9600), 1);
        server->DropMidReply(4);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 500), ReadResult::PortLost);
        QVERIFY(Link.PortLost());
        QCOMPARE(QString::fromStdString(PortLostText(Link, "COM 1")),
                 QString("The connection to 127.0.0.1:%1 was lost: Connection reset by peer").arg(server->Port()));
        // What the windows do next: open the port again, and it works.
        QCOMPARE(SimFixture::OpenAt(k8n2, k9600), 1);
        sim.display->SetRegister(4022, 2031);
        QCOMPARE(Link.ReadBlock(Blocks::Clock, 500), ReadResult::Stored);
        QCOMPARE(Image.Get(4022), 2031u);
        QCOMPARE(server->Connections(), 2);
    }

    // ---- replies as TCP may bring them

    void aReplySplitAcrossSegments_data() { AddProtocolRows(); }

    void aReplySplitAcrossSegments()
    {
        QFETCH(Protocol, protocol);
        const bool mbap = protocol == Protocol::ModbusTcp;
        // Clock: 4022 = 2026, 4023 = 0x0C09, 4024 = 0x0E05.
        const auto pdu = Bytes({0x03, 0x06, 0x07, 0xEA, 0x0C, 0x09, 0x0E, 0x05});
        ScriptedPeer peer([&](int client) {
            const std::vector<std::uint8_t> request = Take(client, mbap ? 12 : 8);
            const std::vector<std::uint8_t> reply =
                mbap ? MbapFrame(std::uint16_t(request[0] << 8 | request[1]), 1, pdu.data(), pdu.size())
                     : RtuFrame(1, pdu.data(), pdu.size());
            // Cut in three, the first cut inside the MBAP header: the reply
            // is taken once whole.
            const std::size_t cuts[] = {0, 5, 9, reply.size()};
            for (int k = 0; k < 3; ++k) {
                Give(client, std::vector<std::uint8_t>(reply.begin() + cuts[k], reply.begin() + cuts[k + 1]));
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            Take(client, 1);  // until the link closes
        });
        QCOMPARE(Link.OpenDevice(peer.Path(mbap ? "modbus-tcp://" : "tcp://"), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Clock, 500), ReadResult::Stored);
        QCOMPARE(Image.Get(4022), 2026u);
        QCOMPARE(Image.Get(4024), 0x0E05u);
        Link.ClosePort();
    }

    void aLateModbusTcpReplyIsNeverTaken()
    {
        // Brightness, first as the given-up request's reply would have it,
        // then as the display has it now.
        const auto stale = Bytes({0x03, 0x08, 0, 1, 0, 1, 0, 1, 0, 1});
        const auto fresh = Bytes({0x03, 0x08, 0, 9, 0, 8, 0x05, 0x1E, 0x14, 0x00});
        ScriptedPeer peer([&](int client) {
            const std::vector<std::uint8_t> first = Take(client, 12);
            const std::vector<std::uint8_t> second = Take(client, 12);
            if (first.size() < 2 || second.size() < 2)
                return;
            // The first request's reply comes only now, behind the second request.
            Give(client, MbapFrame(std::uint16_t(first[0] << 8 | first[1]), 1, stale.data(), stale.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Give(client, MbapFrame(std::uint16_t(second[0] << 8 | second[1]), 1, fresh.data(), fresh.size()));
            Take(client, 1);
        });
        QCOMPARE(Link.OpenDevice(peer.Path("modbus-tcp://"), k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 50), ReadResult::NoReply);
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        QCOMPARE(Image.Get(4025), 9u);
        QCOMPARE(Image.Get(4028), 0x1400u);
        Link.ClosePort();
    }
};

QTEST_GUILESS_MAIN(NetworkTest)
#include "tst_network.moc"
