// vtctl as a script meets it: its arguments, its output and its exit codes,
// run as a program against simulated displays.
#include "Arguments.h"
#include "DesktopLocale.h"
#include "LineState.h"
#include "Profile.h"
#include "NetworkPeers.h"
#include "SimDisplay.h"

#include <QtTest>

#include <cfloat>
#include <csignal>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/ioctl.h>

using sim::FaultKind;

namespace {

struct Run {
    int exitCode;
    QString out, err;
};

// The backups go to a folder of the test's own, never the user's.
QProcessEnvironment TestEnvironment()
{
    static QTemporaryDir state;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", state.path());
    return environment;
}

Run Vtctl(const QStringList& arguments, const QProcessEnvironment& environment = TestEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VTCTL_BINARY), arguments);
    if (!process.waitForFinished(60000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

std::unique_ptr<sim::SimDisplay> Display(sim::SimDisplay::Options options = {})
{
    auto display = std::make_unique<sim::SimDisplay>(options);
    std::string error;
    if (!display->Start(&error))
        qFatal("simulator: %s", error.c_str());
    return display;
}

QString Port(const sim::SimDisplay& display)
{
    return QString::fromStdString(display.DevicePath());
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Save(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

}  // namespace

class VtctlTest : public QObject {
    Q_OBJECT
    QTemporaryDir folder;

    QString Path(const char* name) const { return folder.filePath(QString::fromLatin1(name)); }

    // A profile read from a display with the simulator's start values, and
    // alarm values a window would have trouble with.
    QString Profile()
    {
        auto source = Display();
        source->SetRegisterFloat(7610, 0.1f);
        source->SetRegisterFloat(7611, -3.4E38f);
        const QString file = Path("panel.json");
        const Run read = Vtctl({"read", "--port", Port(*source), "-o", file});
        if (read.exitCode != 0)
            qFatal("vtctl read: %s", qPrintable(read.err));
        return file;
    }

private slots:
    void initTestCase() { VerifyDesktopLocale(); }

    // ---- arguments

    void portsAreComNamesOrDevices()
    {
        QCOMPARE(int(*ParsePort("COM1").index), 0);
        QCOMPARE(int(*ParsePort("com8").index), 7);
        QCOMPARE(ParsePort("COM1").Label(), std::string("COM 1"));
        for (const char* device : {"COM9", "COM0", "COM", "/dev/ttyUSB0", "COM1x"}) {
            QVERIFY(!ParsePort(device).index);
            QCOMPARE(ParsePort(device).device, std::string(device));
        }
        QCOMPARE(int(*ParseMode("8o1")), 3);
        QVERIFY(!ParseMode("8N1"));
        QCOMPARE(int(*ParseRate("115200")), 7);
        QVERIFY(!ParseRate("28800"));  // a display's rate the port cannot run at
        QVERIFY(!ParseRate("9600 "));
    }

    void addressListsAreReadWhole_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("addresses");  // empty: refused
        QTest::newRow("one") << "7" << QList<int> {7};
        QTest::newRow("leading zeros are decimal") << "010,08,0247" << QList<int> {10, 8, 247};
        QTest::newRow("leading zeros in a range") << "07-010" << QList<int> {7, 8, 9, 10};
        QTest::newRow("range and one") << "1-3,9" << QList<int> {1, 2, 3, 9};
        QTest::newRow("overlapping") << "3,1-4" << QList<int> {3, 1, 2, 4};
        QTest::newRow("edges") << "1,247" << QList<int> {1, 247};
        QTest::newRow("zero") << "0-3" << QList<int> {};
        QTest::newRow("248") << "240-248" << QList<int> {};
        QTest::newRow("backwards") << "5-1" << QList<int> {};
        QTest::newRow("empty part") << "1,,2" << QList<int> {};
        QTest::newRow("open range") << "3-" << QList<int> {};
        QTest::newRow("sign") << "+3" << QList<int> {};
        QTest::newRow("blank") << "" << QList<int> {};
    }
    void addressListsAreReadWhole()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, addresses);
        const auto parsed = ParseAddressList(text.toStdString());
        QCOMPARE(parsed.has_value(), !addresses.isEmpty());
        QList<int> got;
        for (std::uint8_t address : parsed.value_or(std::vector<std::uint8_t> {}))
            got << address;
        QCOMPARE(got, addresses);
    }

    void oneAddressParserForEveryCommand_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("reached");  // the display that answered; 0: refused as usage
        // A leading zero is decimal everywhere, as in the address lists.
        for (const char* command : {"read", "diff", "write"}) {
            QTest::newRow(qPrintable(QString("%1 010").arg(command))) << command << "010" << 10;
            QTest::newRow(qPrintable(QString("%1 08").arg(command))) << command << "08" << 8;
            QTest::newRow(qPrintable(QString("%1 0247").arg(command))) << command << "0247" << 247;
            QTest::newRow(qPrintable(QString("%1 0").arg(command))) << command << "000" << 0;
            QTest::newRow(qPrintable(QString("%1 0x10").arg(command))) << command << "0x10" << 0;
        }
        QTest::newRow("find 08") << "find" << "08" << -1;
        QTest::newRow("find 010x") << "find" << "010x" << 0;
    }
    void oneAddressParserForEveryCommand()
    {
        QFETCH(QString, command);
        QFETCH(QString, address);
        QFETCH(int, reached);
        // Each display tells itself apart by its day level.
        sim::SimDisplay::Options options;
        options.address = 10;
        options.moreAddresses = {8, 247};
        auto line = Display(options);
        for (std::uint8_t display : {10, 8, 247})
            line->SetRegister(display, 4025, 30u + display % 50);
        const QString file = Path("address.json");
        QCOMPARE(Vtctl({"read", "--port", Port(*line), "--address", "10", "-o", file}).exitCode, 0);
        QStringList arguments {command};
        if (command == "diff" || command == "write")
            arguments << file;
        arguments << "--port" << Port(*line) << "--address" << address;
        if (command == "read")
            arguments << "-o" << "-";
        if (command == "write")
            arguments << "--no-backup";
        if (command == "find")
            arguments << "--help";  // the search itself is tried below; here only the option is read
        const Run run = Vtctl(arguments);
        if (reached == 0) {
            QCOMPARE(run.exitCode, 2);
            QVERIFY2(run.err.contains(address + " is not an address 1 to 247")
                         || run.err.contains(address + " is not a list of addresses"),
                     qPrintable(run.err));
            return;
        }
        QCOMPARE(run.exitCode, command == "diff" && reached != 10 ? 1 : 0);
        if (command == "read")
            QVERIFY2(run.out.contains(QString("\"dayLevel\": %1,").arg(30 + reached % 50)), qPrintable(run.out));
        if (command == "diff")
            QCOMPARE(run.out, reached == 10 ? "display 10 matches " + file + "\n"
                                            : QString("brightness dayLevel: display %1, file 40\n").arg(30 + reached % 50));
        if (command == "write") {
            QCOMPARE(run.out.section('\n', 0, 0), QString("display %1: written and verified").arg(reached));
            QCOMPARE(line->Register(std::uint8_t(reached), 4025), 40u);
        }
    }

    void helpAndUsage()
    {
        const Run help = Vtctl({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char* command : {"read", "write", "diff", "find", "Exit codes"})
            QVERIFY2(help.out.contains(QLatin1String(command)), command);
        const Run writeHelp = Vtctl({"write", "--help"});
        QCOMPARE(writeHelp.exitCode, 0);
        QVERIFY(writeHelp.out.contains(QLatin1String("--address LIST=1")));
        QVERIFY(writeHelp.out.contains(QLatin1String("--trace [=FILE]")));
        for (const char* command : {"read", "write", "diff", "find"}) {
            const Run commandHelp = Vtctl({command, "--help"});
            QVERIFY2(commandHelp.out.contains(QLatin1String("4 a display did not answer"))
                         && commandHelp.out.contains(QLatin1String("130 interrupted")),
                     command);
        }
        const Run bogus = Vtctl({"bogus", "--port", "COM1"});
        QCOMPARE(bogus.exitCode, 2);
        QVERIFY2(bogus.err.contains(QLatin1String("unknown command \"bogus\"")), qPrintable(bogus.err));
        QCOMPARE(Vtctl({}).exitCode, 2);
        QCOMPARE(Vtctl({"read"}).exitCode, 2);  // no port
        QCOMPARE(Vtctl({"read", "--port", "COM1", "--rate", "28800"}).exitCode, 2);
        QCOMPARE(Vtctl({"write", "x.json", "--port", "COM1", "--address", "1-300"}).exitCode, 2);
        QCOMPARE(Vtctl({"diff", "x.json", "--port", "COM1", "--bogus"}).exitCode, 2);
        // A network port its path cannot name is mistyped, not unreachable.
        for (const char* port : {"tcp://127.0.0.1", "modbus-tcp://127.0.0.1:99999", "tcp://:502"}) {
            const Run mistyped = Vtctl({"read", "--port", port});
            QCOMPARE(mistyped.exitCode, 2);
            QVERIFY2(mistyped.err.contains(QLatin1String("is not a network port like tcp://HOST:PORT")),
                     qPrintable(mistyped.err));
        }
    }

    // ---- exit codes

    void aPortThatDoesNotOpen()
    {
        const Run byPath = Vtctl({"read", "--port", "/dev/vt-no-such-port"});
        QCOMPARE(byPath.exitCode, 3);
        QCOMPARE(byPath.err, QStringLiteral("vtctl: Cannot open /dev/vt-no-such-port: No such device\n"));
        QProcessEnvironment environment = TestEnvironment();
        environment.insert("VT_COM3", "/dev/vt-absent");
        const Run byName = Vtctl({"find", "--port", "COM3"}, environment);
        QCOMPARE(byName.exitCode, 3);
        QCOMPARE(byName.err, QStringLiteral("vtctl: Cannot open COM 3 (/dev/vt-absent): No such device\n"));
        const Run write = Vtctl({"write", Profile(), "--port", "/dev/vt-no-such-port"});
        QCOMPARE(write.exitCode, 3);
    }

    void overTheNetwork_data() { AddProtocolRows(); }

    void overTheNetwork()
    {
        QFETCH(sim::DeviceServer::Protocol, protocol);
        const QString file = Profile();
        auto display = Display();
        sim::DeviceServer server(*display, protocol);
        QVERIFY(server.Start(0));
        const QString port = QString::fromStdString(server.Path());
        QCOMPARE(Vtctl({"write", file, "--port", port}).exitCode, 0);
        QCOMPARE(Vtctl({"diff", file, "--port", port}).out, "display 1 matches " + file + "\n");
        // COM 2 mapped to the same server, as a user's environment may.
        QProcessEnvironment environment = TestEnvironment();
        environment.insert("VT_COM2", port);
        display->SetRegister(4012, 7);
        const Run read = Vtctl({"read", "--port", "COM2", "-o", Path("network.json")}, environment);
        QCOMPARE(read.exitCode, 0);
        const Run differs = Vtctl({"diff", file, "--port", port});
        QCOMPARE(differs.out, QStringLiteral("rows II.register: display 7507, file 7501\n"));
        QCOMPARE(Vtctl({"diff", Path("network.json"), "--port", port}).exitCode, 0);
    }

    void aNetworkPortThatDoesNotOpen()
    {
        auto display = Display();
        auto server = std::make_unique<sim::DeviceServer>(*display, sim::DeviceServer::Protocol::RtuOverTcp);
        QVERIFY(server->Start(0));
        const QString port = QString::fromStdString(server->Path());
        const QString where = QString::fromStdString(server->Path()).mid(6);
        server.reset();  // nobody listens there any more
        const Run refused = Vtctl({"read", "--port", port});
        QCOMPARE(refused.exitCode, 3);
        QCOMPARE(refused.err, "vtctl: Cannot open " + where + " (RTU over TCP): Connection refused\n");
        QProcessEnvironment environment = TestEnvironment();
        environment.insert("VT_COM3", "modbus-tcp://" + where);
        const Run byName = Vtctl({"read", "--port", "COM3"}, environment);
        QCOMPARE(byName.exitCode, 3);
        QCOMPARE(byName.err, "vtctl: Cannot open COM 3 (" + where + ", Modbus TCP): Connection refused\n");
    }

    void aSilentDisplayWritesNoProfile()
    {
        auto display = Display();
        display->InjectFault({FaultKind::Silent, 0, true});
        const Run read = Vtctl({"read", "--port", Port(*display), "-o", Path("silent.json")});
        QCOMPARE(read.exitCode, 4);
        QVERIFY2(read.err.contains(QLatin1String("display 1: reading rows: no reply")), qPrintable(read.err));
        QVERIFY(!QFile::exists(Path("silent.json")));
        QVERIFY(!QFile::exists(Path("silent.json.part")));
        QCOMPARE(Vtctl({"diff", Profile(), "--port", Port(*display)}).exitCode, 4);
    }

    void aRefusedWriteNamesEveryGroup()
    {
        const QString file = Profile();
        auto display = Display();
        display->InjectFault({FaultKind::RefuseWrite, 4025, true});
        const Run write = Vtctl({"write", file, "--port", Port(*display), "--no-backup"});
        QCOMPARE(write.exitCode, 1);
        QCOMPARE(write.out, QStringLiteral("display 1: rows written and verified; brightness refused with exception 3; "
                                           "deviceLine, devices, recalibration not written (the display now holds "
                                           "part of the profile)\n"
                                           "0 of 1 display written and verified, 1 failed\n"));
        const Run json = Vtctl({"write", file, "--port", Port(*display), "--no-backup", "--json"});
        QCOMPARE(json.exitCode, 1);
        const profile::Json groups = profile::Json::parse(json.out.toStdString())["displays"][0]["groups"];
        QCOMPARE(groups, profile::Json::parse(R"({"rows": "verified", "brightness": "refused", "deviceLine": "not written",
                                                  "devices": "not written", "recalibration": "not written"})"));
    }

    void damagedFilesSendNothing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("not JSON") << QByteArray("digits = 5\n") << "not JSON: ";
        QTest::newRow("newer version") << QByteArray("{\"format\": \"vtconfig-profile\", \"version\": 7}")
                                       << "a profile of version 7, newer than this program reads (1)";
        QTest::newRow("out of range") << QByteArray() << "rows.II.digits: 21 is outside 0 to 20";
        QTest::newRow("missing group") << QByteArray("{\"format\": \"vtconfig-profile\", \"version\": 1}")
                                       << "the group \"rows\" is missing";
        // A second "brightness" pasted in would win silently.
        QTest::newRow("key twice") << QByteArray("twice") << "the key \"brightness\" appears twice in the top object";
        QTest::newRow("UTF-16") << QByteArray("utf16") << "the file is UTF-16; save it as UTF-8";
    }
    void damagedFilesSendNothing()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, refusal);
        if (text.isEmpty())
            text = Contents(Profile()).replace("\"digits\": 5,\n      \"format\": \"0.00\"",
                                               "\"digits\": 21,\n      \"format\": \"0.00\"");
        if (text == "twice")
            text = Contents(Profile()).replace("\n  \"rows\": {", "\n  \"brightness\": {\"dayLevel\": 5},\n  \"rows\": {");
        if (text == "utf16") {
            const QString profileText = QString::fromUtf8(Contents(Profile()));
            text = QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(profileText.utf16()), profileText.size() * 2);
        }
        const QString file = Path("damaged.json");
        Save(file, text);
        auto display = Display();
        for (const QStringList& command : {QStringList {"write", file}, QStringList {"diff", file}}) {
            const Run run = Vtctl(command + QStringList {"--port", Port(*display)});
            QCOMPARE(run.exitCode, 2);
            QVERIFY2(run.err.startsWith("vtctl: " + file + ": " + refusal), qPrintable(run.err));
            QVERIFY(run.err.endsWith(QLatin1String("vtctl: nothing was sent\n")));
        }
        QVERIFY(display->Frames().empty());
    }

    void severalDisplaysOneAbsent()
    {
        const QString file = Profile();
        // Displays 1 and 3 on one line, none at 2.
        sim::SimDisplay::Options options;
        options.moreAddresses = {3};
        auto line = Display(options);
        const Run write = Vtctl({"write", file, "--port", Port(*line), "--address", "1-3"});
        QCOMPARE(write.exitCode, 4);
        QCOMPARE(QString(write.out).replace(QRegularExpression(" \\(its settings before: [^)]*\\)"), QString()),
                 QStringLiteral("display 1: written and verified\n"
                                "display 2: not written: reading rows: no reply\n"
                                "display 3: written and verified\n"
                                "2 of 3 displays written and verified, 1 failed\n"));
        QVERIFY(write.err.contains(QLatin1String("writing display 3 (3 of 3)")));
        for (std::uint8_t address : {1, 3}) {
            QCOMPARE(line->Register(address, 7610), FloatToBits(0.1f));
            QCOMPARE(line->Register(address, 7611), FloatToBits(-3.4E38f));
        }
        // The same for scripts.
        const Run json = Vtctl({"write", file, "--port", Port(*line), "--address", "3,2", "--json"});
        QCOMPARE(json.exitCode, 4);
        const profile::Json report = profile::Json::parse(json.out.toStdString());
        QCOMPARE(report["verified"], profile::Json(1));
        QCOMPARE(report["displays"][0]["address"], profile::Json(3));
        QCOMPARE(report["displays"][1]["result"], profile::Json("no reply"));
        QCOMPARE(report["displays"][1]["problems"][0], profile::Json("not written: reading rows: no reply"));
    }

    void diffNamesWhatDiffers()
    {
        const QString file = Profile();
        auto display = Display();
        QCOMPARE(Vtctl({"write", file, "--port", Port(*display)}).exitCode, 0);
        // The next run opens the port the last one left: as an ordinary user
        // only once that run has released it.
        const Run same = Vtctl({"diff", file, "--port", Port(*display)});
        QCOMPARE(same.exitCode, 0);
        QCOMPARE(same.out, "display 1 matches " + file + "\n");
        display->SetRegister(4012, 7);  // row II shows register 7507
        display->SetRegisterFloat(7611, 12.5f);
        const Run differs = Vtctl({"diff", file, "--port", Port(*display)});
        QCOMPARE(differs.exitCode, 1);
        QCOMPARE(differs.out, QStringLiteral("rows I.secondAlarm: display 12.5, file -3.4e+38\n"
                                             "rows II.register: display 7507, file 7501\n"));
        const Run json = Vtctl({"diff", file, "--port", Port(*display), "--json"});
        QCOMPARE(json.exitCode, 1);
        const profile::Json list = profile::Json::parse(json.out.toStdString())["differences"];
        QCOMPARE(list.size(), std::size_t(2));
        QCOMPARE(list[1], profile::Json({{"group", "rows"}, {"setting", "II.register"}, {"display", 7507}, {"file", 7501}}));
    }

    void theFilesDoNotFollowTheLocale()
    {
        // vtctl takes the desktop's locale from the environment, as this run has it.
        auto source = Display();
        source->SetRegisterFloat(7647, 0.1f);
        const QString file = Path("comma.json");
        QCOMPARE(Vtctl({"read", "--port", Port(*source), "-o", file}).exitCode, 0);
        QVERIFY(Contents(file).contains("\"slope\": 0.1,"));
        auto target = Display();
        QCOMPARE(Vtctl({"write", file, "--port", Port(*target)}).exitCode, 0);
        QCOMPARE(target->Register(7647), FloatToBits(0.1f));
    }

    void anEndedSearchLeavesThePortAsFound_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl+C") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void anEndedSearchLeavesThePortAsFound()
    {
        // A search of a silent line takes minutes; whoever stops it must find
        // the port as it was: free of the lock and of the exclusive mode that
        // would refuse every ordinary user, the line as another program left it.
        QFETCH(int, signal);
        auto line = Display();
        line->InjectFault({FaultKind::Silent, 0, true});
        const std::string device = line->DevicePath();
        const termios found = line_state::SetAnotherProgramsLine(device);
        QProcess process;
        process.start(QStringLiteral(VTCTL_BINARY), {"find", "--port", Port(*line)});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(line->Frames().size() >= 2, 10000);
        kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        int exclusive = 1;
        QCOMPARE(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        QCOMPARE(exclusive, 0);
        QCOMPARE(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
        QVERIFY(line_state::Same(line_state::Read(device), found));
    }

    void anInterruptedWriteNamesTheDisplayInProgress()
    {
        const QString file = Profile();
        sim::SimDisplay::Options options;
        options.moreAddresses = {2, 3};
        auto line = Display(options);
        QProcess process;
        process.setProcessEnvironment(TestEnvironment());
        process.start(QStringLiteral(VTCTL_BINARY), {"write", file, "--port", Port(*line), "--address", "1-3", "--no-backup"});
        QVERIFY(process.waitForStarted());
        const auto toDisplay2 = [&] {
            for (const sim::ReceivedFrame& frame : line->Frames())
                if (!frame.bytes.empty() && frame.bytes[0] == 2)
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(toDisplay2(), 20000);
        kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(10000));
        // Ended by the signal, as the shell expects of Ctrl+C ($? is 130).
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(err.endsWith(QLatin1String("display 2: interrupted while writing; the display may hold part of the profile\n")),
                 qPrintable(err));
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()), QStringLiteral("display 1: written and verified\n"));
    }

    void findListsTheDisplays()
    {
        sim::SimDisplay::Options options;
        options.address = 9;
        options.moreAddresses = {2};
        auto line = Display(options);
        const Run find = Vtctl({"find", "--port", Port(*line), "--json"});
        QCOMPARE(find.exitCode, 0);
        QCOMPARE(profile::Json::parse(find.out.toStdString()),
                 profile::Json::parse(R"([{"address": 2, "mode": "8n2", "rate": 9600, "exception": 0},
                                          {"address": 9, "mode": "8n2", "rate": 9600, "exception": 0}])"));
        QVERIFY(find.err.contains(QLatin1String("searched ")));
    }

    void exitCodesAScriptCanActOn_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("faultKind");  // -1: none
        QTest::addColumn<int>("faultValue");
        QTest::addColumn<QString>("addresses");
        QTest::addColumn<int>("code");
        const int none = -1;
        QTest::newRow("write done") << "write" << none << 0 << "1" << 0;
        QTest::newRow("write refused") << "write" << int(FaultKind::RefuseWrite) << 4310 << "1" << 1;
        QTest::newRow("write not kept") << "write" << int(FaultKind::AlterWrite) << 4025 << "1" << 1;
        QTest::newRow("write no reply") << "write" << int(FaultKind::Silent) << 0 << "1" << 4;
        QTest::newRow("write gateway's exception 11") << "write" << int(FaultKind::Exception) << 11 << "1" << 4;
        QTest::newRow("write gateway's exception 10") << "write" << int(FaultKind::Exception) << 10 << "1" << 4;
        QTest::newRow("write replies never whole") << "write" << int(FaultKind::Truncate) << 4 << "1" << 4;
        QTest::newRow("write refused and absent: 4 wins") << "write" << int(FaultKind::RefuseWrite) << 4310 << "1-2" << 4;
        QTest::newRow("diff same") << "diff" << none << 0 << "1" << 0;
        QTest::newRow("diff refused read") << "diff" << int(FaultKind::Exception) << 2 << "1" << 1;
        QTest::newRow("diff no reply") << "diff" << int(FaultKind::Silent) << 0 << "1" << 4;
        QTest::newRow("diff gateway's exception 11") << "diff" << int(FaultKind::Exception) << 11 << "1" << 4;
        QTest::newRow("read no reply") << "read" << int(FaultKind::Silent) << 0 << "1" << 4;
        QTest::newRow("read refused") << "read" << int(FaultKind::Exception) << 2 << "1" << 1;
    }
    void exitCodesAScriptCanActOn()
    {
        QFETCH(QString, command);
        QFETCH(int, faultKind);
        QFETCH(int, faultValue);
        QFETCH(QString, addresses);
        QFETCH(int, code);
        const QString file = Profile();
        auto display = Display();
        // As the profile's source display held them.
        display->SetRegisterFloat(7610, 0.1f);
        display->SetRegisterFloat(7611, -3.4E38f);
        if (faultKind >= 0)
            display->InjectFault({FaultKind(faultKind), faultValue, true});
        QStringList arguments {command};
        if (command != "read")
            arguments << file;
        arguments << "--port" << Port(*display) << "--address" << addresses;
        if (command == "write")
            arguments << "--no-backup";
        const Run run = Vtctl(arguments);
        QCOMPARE(run.exitCode, code);
        // And the same code with one JSON document on standard output, whatever happened.
        if (command == "read")
            return;
        const Run json = Vtctl(arguments << "--json");
        QCOMPARE(json.exitCode, code);
        const profile::Json document = profile::Json::parse(json.out.toStdString(), nullptr, false);
        QVERIFY2(!document.is_discarded(), qPrintable(json.out));
        if (code != 0 && !(command == "diff" && code == 1 && faultKind < 0))
            QVERIFY2(document.contains("error") || document.contains("displays"), qPrintable(json.out));
    }

    void scriptsGetJsonWhateverHappens()
    {
        const QString missing = Path("no-such.json");
        for (const QStringList& arguments :
             {QStringList {"write", missing, "--port", "COM1", "--json"}, QStringList {"diff", missing, "--port", "COM1", "--json"},
              QStringList {"write", Profile(), "--port", "/dev/vt-no-such-port", "--json"},
              QStringList {"diff", Profile(), "--port", "/dev/vt-no-such-port", "--json"},
              QStringList {"find", "--port", "/dev/vt-no-such-port", "--json"},
              QStringList {"write", "--json", "--port", "COM1"}, QStringList {"bogus", "--json"}}) {
            const Run run = Vtctl(arguments);
            QVERIFY2(run.exitCode == 2 || run.exitCode == 3, qPrintable(arguments.join(' ')));
            const profile::Json document = profile::Json::parse(run.out.toStdString(), nullptr, false);
            QVERIFY2(document.is_object() && document.contains("error"), qPrintable(arguments.join(' ') + ": " + run.out));
            QCOMPARE(document["exitCode"], profile::Json(run.exitCode));
        }
    }

    void theProfileToStandardOutputAndAClosedPipe()
    {
        auto display = Display();
        const Run read = Vtctl({"read", "--port", Port(*display), "-o", "-"});
        QCOMPARE(read.exitCode, 0);
        QVERIFY(profile::Json::parse(read.out.toStdString())["format"] == "vtconfig-profile");
        QVERIFY(!QFile::exists("-"));
        // A reader that stops early ("| head -1") ends vtctl quietly.
        QProcess shell;
        shell.setProcessEnvironment(TestEnvironment());
        shell.start("bash", {"-c", QString("'%1' read --port '%2' | head -c 1 >/dev/null; echo \"${PIPESTATUS[0]}\"")
                                       .arg(QStringLiteral(VTCTL_BINARY), Port(*display))});
        QVERIFY(shell.waitForFinished(30000));
        QCOMPARE(QString::fromLocal8Bit(shell.readAllStandardError()), QString());
        QCOMPARE(QString::fromLocal8Bit(shell.readAllStandardOutput()).trimmed(), QStringLiteral("0"));
    }

    void aFifoIsRefusedWithoutWaiting()
    {
        const QString fifo = Path("profile.fifo");
        QCOMPARE(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        auto display = Display();
        // Opening a FIFO for reading waits for a writer: vtctl must not.
        const Run run = Vtctl({"write", fifo, "--port", Port(*display)});
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.err, "vtctl: " + fifo + ": not a regular file (a named pipe)\nvtctl: nothing was sent\n");
        QVERIFY(display->Frames().empty());
    }

    void aBackupPutsEveryDisplayBack()
    {
        const QString file = Profile();
        sim::SimDisplay::Options options;
        options.moreAddresses = {2};
        auto line = Display(options);
        // Settings of their own, no profile's start values.
        for (std::uint8_t address : {1, 2}) {
            line->SetRegister(address, 4025, 10u + address);
            line->SetRegister(address, 7611, FloatToBits(-0.0f));
            line->SetRegister(address, 4310, 17);
            line->SetRegister(address, 4311, 300);
            line->SetRegister(address, 4312, 2);
            line->SetRegister(address, 4313, 6);
            line->SetRegister(address, 4314, 5);
        }
        std::map<std::pair<int, unsigned>, std::uint32_t> before;
        for (std::uint8_t address : {1, 2})
            for (const profile::Setting& setting : profile::Settings())
                before[{address, setting.reg}] = line->Register(address, setting.reg);
        const QString backups = Path("backups");
        const Run write = Vtctl({"write", file, "--port", Port(*line), "--address", "1-2", "--backup-dir", backups});
        QCOMPARE(write.exitCode, 0);
        const QRegularExpression told("^display (\\d): written and verified \\(its settings before: (.*/display-\\1-\\d{8}-\\d{6}\\.json)\\)$",
                                      QRegularExpression::MultilineOption);
        QStringList kept;
        for (auto match = told.globalMatch(write.out); match.hasNext();)
            kept << match.next().captured(2);
        QCOMPARE(kept.size(), 2);
        QVERIFY(kept[0].startsWith(backups + "/"));
        QCOMPARE(line->Register(1, 4025), 80u);
        // Each backup written back: every setting as it was, to the bit.
        for (int k = 0; k < 2; ++k) {
            const Run undo = Vtctl({"write", kept[k], "--port", Port(*line), "--address", QString::number(k + 1), "--no-backup"});
            QCOMPARE(undo.exitCode, 0);
        }
        for (std::uint8_t address : {1, 2})
            for (const profile::Setting& setting : profile::Settings())
                QVERIFY2(line->Register(address, setting.reg) == (before[{address, setting.reg}]),
                         qPrintable(QString("display %1 %2").arg(address).arg(QString::fromStdString(setting.Path()))));
        // No folder for the backups: nothing is sent.
        line->ClearFrames();
        Save(Path("in-the-way"), "a file");
        const Run blocked = Vtctl({"write", file, "--port", Port(*line), "--backup-dir", Path("in-the-way") + "/sub"});
        QCOMPARE(blocked.exitCode, 2);
        QVERIFY(line->Frames().empty());
    }

    void theRecordAndReportOfAWrite()
    {
        const QString file = Profile();
        // Display 1 absent, display 2 refuses the devices once, display 3 takes all.
        sim::SimDisplay::Options options;
        options.address = 2;
        options.moreAddresses = {3};
        auto line = Display(options);
        line->SetRegister(2, 4025, 77);
        line->SetRegister(3, 4025, 77);
        line->SetRegister(3, 4026, 5);
        line->InjectFault({FaultKind::RefuseWrite, 4310, false});
        const QString record = Path("record.json"), report = Path("report.html");
        const Run write = Vtctl({"write", file, "--port", Port(*line), "--address", "1-3", "--backup-dir",
                                 Path("record-backups"), "--record", record, "--report", report});
        QCOMPARE(write.exitCode, 4);
        QVERIFY2(write.out.contains(QLatin1String("display 2: rows, brightness, deviceLine written and verified; devices "
                                                  "refused with exception 3; recalibration not written (the display now "
                                                  "holds part of the profile; its settings before: ")),
                 qPrintable(write.out));
        const profile::Json json = profile::Json::parse(Contents(record).toStdString());
        QCOMPARE(json["format"], profile::Json("vtconfig-record"));
        QCOMPARE(json["line"], profile::Json({{"mode", "8n2"}, {"rate", 9600}}));
        QCOMPARE(json["profile"]["sha256"].get<std::string>(),
                 QCryptographicHash::hash(Contents(file), QCryptographicHash::Sha256).toHex().toStdString());
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                    .match(QString::fromStdString(json["started"].get<std::string>())).hasMatch());
        const profile::Json& displays = json["displays"];
        QCOMPARE(displays[0]["result"], profile::Json("no reply"));
        QCOMPARE(displays[1]["result"], profile::Json("failed"));
        QCOMPARE(displays[1]["groups"]["devices"]["state"], profile::Json("refused"));
        QCOMPARE(displays[1]["groups"]["recalibration"]["state"], profile::Json("not written"));
        QCOMPARE(displays[2]["result"], profile::Json("verified"));
        QVERIFY(displays[2]["backup"].get<std::string>().find("display-3-") != std::string::npos);
        QCOMPARE(displays[2]["changes"],
                 profile::Json::parse(R"([{"group": "rows", "setting": "I.firstAlarm", "before": 0, "wanted": 0.1, "after": 0.1},
                                          {"group": "rows", "setting": "I.secondAlarm", "before": 100, "wanted": -3.4e+38, "after": -3.4e+38},
                                          {"group": "brightness", "setting": "dayLevel", "before": 77, "wanted": 80, "after": 80},
                                          {"group": "brightness", "setting": "nightLevel", "before": 5, "wanted": 20, "after": 20}])"));
        // The page holds each display's changes and result in words, as cells a reader can find.
        const QString page = QString::fromUtf8(Contents(report));
        QVERIFY(!page.contains(QLatin1String("<script")));
        QStringList cells;
        for (auto match = QRegularExpression("<td>(.*?)</td>").globalMatch(page); match.hasNext();)
            cells << match.next().captured(1);
        QVERIFY2(cells.contains("dayLevel") && cells.contains("77") && cells.contains("80"), qPrintable(cells.join('|')));
        QVERIFY(cells.contains("refused with exception 3"));
        QVERIFY(page.contains(QLatin1String("Display 3: <span class=\"verified\">verified</span>")));
        QVERIFY(page.contains(QLatin1String("Display 1: <span class=\"failed\">no reply</span>")));
        QVERIFY(cells.contains(QString::fromStdString(json["profile"]["sha256"].get<std::string>())));
    }
};

QTEST_GUILESS_MAIN(VtctlTest)
#include "tst_vtctl.moc"
