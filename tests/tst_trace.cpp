// The frame trace a technician reads when a display does not answer, and
// vtconfig's command line.
#include "CommandLine.h"
#include "ProgramLink.h"
#include "SimFixture.h"
#include "Trace.h"

#include <QProcess>
#include <QRegularExpression>
#include <sstream>

using sim::FaultKind;

namespace {

QStringList Lines(const std::ostringstream& trace)
{
    return QString::fromStdString(trace.str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

struct Run {
    int exitCode;
    QString out, err;
};

Run Vtconfig(const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VTCONFIG_BINARY), arguments);
    if (!process.waitForFinished(20000))
        process.kill();
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

}  // namespace

class TraceTest : public QObject {
    Q_OBJECT
    SimFixture sim;
    std::ostringstream trace;

private slots:
    void init()
    {
        sim.Start();
        trace.str({});
        TraceFramesTo(trace);
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
    }
    void cleanup()
    {
        Link.SetFrameObserver(nullptr);
        sim.Stop();
    }

    void aReadAndAWrite()
    {
        sim.display->SetRegister(4029, 0x8000);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        QCOMPARE(Link.WriteBlock(Blocks::Status, 500), WriteResult::Acknowledged);
        const QStringList lines = Lines(trace);
        QCOMPARE(lines.size(), 5);  // the open line first
        const QString where = QStringLiteral(" COM 1 (%1) 9600 8n2  ").arg(QString::fromStdString(sim.display->DevicePath()));
        // A pseudo-terminal has no adapter latency to tell.
        QVERIFY2(lines[0].endsWith(QStringLiteral(" == COM 1 (%1) 9600 8n2  opened").arg(QString::fromStdString(sim.display->DevicePath()))),
                 qPrintable(lines[0]));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d -> ")).match(lines[1]).hasMatch(),
                 qPrintable(lines[1]));
        QVERIFY2(lines[1].endsWith(where + QStringLiteral("01 03 0F BD 00 02 57 3B")), qPrintable(lines[1]));
        QVERIFY2(lines[2].contains(QStringLiteral(" <-") + where + QStringLiteral("01 03 04 80 00 00 00")),
                 qPrintable(lines[2]));
        QVERIFY2(lines[2].endsWith(QStringLiteral("  stored")), qPrintable(lines[2]));
        QVERIFY2(lines[3].contains(QStringLiteral("-> ")) && lines[3].contains(QStringLiteral("01 10 0F BD 00 02 04 80 00")),
                 qPrintable(lines[3]));
        QVERIFY2(lines[4].endsWith(QStringLiteral("01 10 0F BD 00 02 D2 F8  acknowledged")), qPrintable(lines[4]));
    }

    void anExceptionASilenceAndALostPort()
    {
        sim.display->InjectFault({FaultKind::Exception, 2});
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 500), ReadResult::Rejected);
        sim.display->InjectFault({FaultKind::Silent});
        QCOMPARE(Link.WriteBlock(Blocks::Rows, 300), WriteResult::NoReply);
        sim.display->InjectFault({FaultKind::BadCrc});
        QCOMPARE(Link.ReadBlock(Blocks::Status, 300), ReadResult::Rejected);
        sim.display->Stop();
        QCOMPARE(Link.ReadBlock(Blocks::Status, 300), ReadResult::PortLost);
        const QStringList lines = Lines(trace);
        QCOMPARE(lines.size(), 8);
        QVERIFY2(lines[2].endsWith(QStringLiteral("01 83 02 C0 F1  refused with exception 2")), qPrintable(lines[2]));
        QVERIFY2(QRegularExpression(QStringLiteral(" <- .* \\(nothing\\)  no reply after \\d+ ms$")).match(lines[4]).hasMatch(),
                 qPrintable(lines[4]));
        QVERIFY2(lines[6].endsWith(QStringLiteral("  CRC error")), qPrintable(lines[6]));
        QVERIFY2(lines[7].endsWith(QStringLiteral("(nothing)  port lost: Input/output error (the adapter was unplugged or failed)")),
                 qPrintable(lines[7]));
    }

    void theCommandLine()
    {
        using Action = CommandLine::Action;
        QCOMPARE(ParseCommandLine({}, true).action, Action::Run);
        QVERIFY(!ParseCommandLine({}, true).trace);
        const CommandLine toStderr = ParseCommandLine({"--trace"}, true);
        QVERIFY(toStderr.trace && toStderr.traceFile.empty());
        QCOMPARE(ParseCommandLine({"--trace=/tmp/t.log"}, true).traceFile, std::string("/tmp/t.log"));
        QCOMPARE(ParseCommandLine({"--trace", "--help"}, true).action, Action::Help);
        QCOMPARE(ParseCommandLine({"--version", "--trace"}, false).action, Action::Version);
        QCOMPARE(ParseCommandLine({"--trace="}, true).action, Action::Refuse);
        QCOMPARE(ParseCommandLine({"-platform", "offscreen"}, false).action, Action::Run);  // Qt's, for now
        QCOMPARE(ParseCommandLine({"-nonsense"}, true).refused, std::string("-nonsense"));
        QCOMPARE(ParseCommandLine({"--report"}, false).action, Action::Refuse);
        QCOMPARE(ParseCommandLine({"report.txt"}, false).action, Action::Run);
        QCOMPARE(ParseCommandLine({"report.txt"}, true).action, Action::Refuse);
    }

    void theProgramsAnswers()
    {
        const Run help = Vtconfig({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains(QStringLiteral("--trace=FILE")));

        const Run unknown = Vtconfig({QStringLiteral("--verbose")});
        QCOMPARE(unknown.exitCode, 2);
        QVERIFY2(unknown.err.contains(QStringLiteral("usage: vtconfig")), qPrintable(unknown.err));

        const Run unwritable = Vtconfig({QStringLiteral("--trace=/nonexistent-folder/trace.log")});
        QCOMPARE(unwritable.exitCode, 2);
        QVERIFY2(unwritable.err.contains(QStringLiteral(
                     "cannot write the trace to /nonexistent-folder/trace.log: No such file or directory")),
                 qPrintable(unwritable.err));

        const Run leftOver = Vtconfig({QStringLiteral("-nonsense")});  // after Qt took its own
        QCOMPARE(leftOver.exitCode, 2);
    }
};

QTEST_GUILESS_MAIN(TraceTest)
#include "tst_trace.moc"
