// The run's port list on Linux with USB adapters by id: a temporary folder
// stands for /dev/serial/by-id (VT_SERIAL_BY_ID), each name a link to a
// simulated display's pseudo-terminal, removed when the adapter is unplugged
// as udev removes it. A port chosen keeps its device whatever else comes
// and goes; COM n keeps the device it first stood for.
#include "ConnectionWindow.h"
#include "ProgramLink.h"

#include "Arguments.h"
#include "PortAction.h"
#include "PortList.h"
#include "PortMessages.h"
#include "Uart.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <map>
#include <unistd.h>

namespace {

constexpr std::uint8_t k8n2 = 1, k9600 = 2;
const std::string kA = "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
const std::string kB = "usb-FTDI_FT232R_USB_UART_B20K5678-if00-port0";

// Adapters plugged in and out, each a display of its own behind its name.
class Adapters {
public:
    Adapters() { setenv("VT_SERIAL_BY_ID", folder_.path().toLocal8Bit().constData(), 1); }
    ~Adapters() { unsetenv("VT_SERIAL_BY_ID"); }

    std::string Path(const std::string& name) const { return folder_.path().toStdString() + "/" + name; }
    sim::SimDisplay& Display(const std::string& name) { return *displays_.at(name); }

    void Plug(const std::string& name)
    {
        auto display = std::make_unique<sim::SimDisplay>();
        std::string error;
        QVERIFY2(display->Start(&error), error.c_str());
        QCOMPARE(symlink(display->DevicePath().c_str(), Path(name).c_str()), 0);
        displays_[name] = std::move(display);
    }

    // The link goes and the display with it: its pseudo-terminal is no more.
    void Unplug(const std::string& name)
    {
        unlink(Path(name).c_str());
        displays_.erase(name);
    }

private:
    QTemporaryDir folder_;
    std::map<std::string, std::unique_ptr<sim::SimDisplay>> displays_;
};

std::optional<PortChoice> Listed(const std::vector<PortChoice>& list, const std::string& label)
{
    for (const PortChoice& choice : list)
        if (choice.label == label)
            return choice;
    return std::nullopt;
}

unsigned IndexOf(const std::string& name)
{
    const std::optional<unsigned> index = FindPort(name);
    return index ? *index : 9999;
}

// Reads through the program's link at a port index: true when the display answered.
bool ReadsAt(unsigned index)
{
    return Link.OpenPort(std::uint8_t(index), k8n2, k9600) == 1 && Link.ReadBlock(Blocks::Status, 500) == ReadResult::Stored;
}

void ClearComVariables()
{
    for (int n = 1; n <= 8; ++n)
        unsetenv(("VT_COM" + std::to_string(n)).c_str());
}

}  // namespace

class PortsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Adapters> adapters;

private slots:
    void init()
    {
        ClearComVariables();
        ResetLink();
        adapters = std::make_unique<Adapters>();
    }

    void cleanup()
    {
        ResetLink();
        adapters.reset();
    }

    void adaptersByIdFollowTheEight()
    {
        adapters->Plug(kA);
        adapters->Plug(kB);
        const std::vector<PortChoice> list = ListPorts();
        QVERIFY(list.size() >= kPortCount + 2);
        for (unsigned index = 0; index < kPortCount; ++index) {
            QCOMPARE(list[index].index, index);
            QCOMPARE(list[index].label, "COM " + std::to_string(index + 1));
        }
        QCOMPARE(list[kPortCount].label, kA);  // by-id names first, in their order
        QCOMPARE(list[kPortCount + 1].label, kB);
        const std::string deviceA = adapters->Display(kA).DevicePath();
        QCOMPARE(list[kPortCount].path, adapters->Path(kA));
        QCOMPARE(list[kPortCount].description, adapters->Path(kA) + " (" + deviceA + ")");
        QVERIFY(list[kPortCount].present);
        // COM 1 and COM 2 stand for the first two ports present, by their stable names.
        QCOMPARE(list[0].path, adapters->Path(kA));
        QCOMPARE(list[1].path, adapters->Path(kB));
        QCOMPARE(PortLabel(list[kPortCount + 1].index), kB);
    }

    void unpluggingAnotherAdapterNeverMovesTheChosenPort()
    {
        adapters->Plug(kA);
        adapters->Plug(kB);
        ListPorts();  // the user looks at the list: COM 1 and COM 2 take A and B
        const unsigned chosen = IndexOf(kB);
        QVERIFY(chosen >= kPortCount);
        QVERIFY(ReadsAt(chosen));
        QCOMPARE(Link.PortDevice(), adapters->Path(kB));
        Link.ClosePort();

        adapters->Unplug(kA);
        const std::vector<PortChoice> list = ListPorts();
        QVERIFY(!Listed(list, kA));
        QCOMPARE(Listed(list, kB)->index, chosen);
        adapters->Display(kB).ClearFrames();
        QVERIFY(ReadsAt(chosen));
        QCOMPARE(adapters->Display(kB).Frames().size(), std::size_t(1));
        // COM 2 stood for B and still does; COM 1 stood for A, which is gone: it
        // says so rather than opening B.
        QVERIFY(ReadsAt(1));
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), -1);
        QCOMPARE(PortOpenFailureText(Link, PortLabel(0)),
                 "Cannot open COM 1 (" + adapters->Path(kA) + "): No such device");
        QCOMPARE(DescribePort(0)->description, adapters->Path(kA));
        QVERIFY(!DescribePort(0)->present);
    }

    void aReplugedAdapterComesBackUnderItsEntry()
    {
        adapters->Plug(kA);
        adapters->Plug(kB);
        const unsigned chosen = IndexOf(kA);
        QVERIFY(ReadsAt(chosen));
        adapters->Unplug(kA);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::PortLost);
        QCOMPARE(Link.LostDevice(), adapters->Path(kA));
        QCOMPARE(Link.OpenPort(std::uint8_t(chosen), k8n2, k9600), -1);
        QVERIFY(!DescribePort(chosen)->present);

        adapters->Plug(kA);  // another pseudo-terminal, the same name
        QCOMPARE(IndexOf(kA), chosen);
        QCOMPARE(Listed(ListPorts(), kA)->index, chosen);
        QVERIFY(ReadsAt(chosen));
        QCOMPARE(adapters->Display(kA).Frames().size(), std::size_t(1));
    }

    void comNKeepsTheDeviceItFirstStoodFor()
    {
        // The first look gives this machine's own ports their COM n; the next
        // COM is free for the adapters to come.
        const unsigned next = unsigned(ListPorts().size() - kPortCount);
        QVERIFY(next + 2 <= kPortCount);
        QCOMPARE(PortPath(next), std::string());
        adapters->Plug(kB);
        QCOMPARE(PortPath(next), adapters->Path(kB));
        adapters->Plug(kA);  // listed ahead of B from now on
        QCOMPARE(PortPath(next), adapters->Path(kB));
        QCOMPARE(PortPath(next + 1), adapters->Path(kA));
        adapters->Unplug(kB);
        QCOMPARE(PortPath(next), adapters->Path(kB));  // never A
        QCOMPARE(Link.OpenPort(std::uint8_t(next), k8n2, k9600), -1);
        QCOMPARE(adapters->Display(kA).Frames().size(), std::size_t(0));
        adapters->Plug(kB);
        QVERIFY(ReadsAt(next));
        QCOMPARE(adapters->Display(kB).Frames().size(), std::size_t(1));
        QCOMPARE(adapters->Display(kA).Frames().size(), std::size_t(0));

        // VT_COMn names COM n's device outright.
        setenv("VT_COM1", adapters->Display(kA).DevicePath().c_str(), 1);
        QCOMPARE(PortPath(0), adapters->Display(kA).DevicePath());
        QVERIFY(ReadsAt(0));
        QCOMPARE(adapters->Display(kA).Frames().size(), std::size_t(1));
        unsetenv("VT_COM1");
    }

    void portsAreFoundByTheNamesTheListGives()
    {
        adapters->Plug(kA);
        const unsigned a = IndexOf(kA);
        QVERIFY(a >= kPortCount && a < KnownPortCount());
        QCOMPARE(IndexOf(adapters->Path(kA)), a);
        QCOMPARE(IndexOf("COM2"), 1u);
        QCOMPARE(IndexOf("com 2"), 1u);
        QVERIFY(!FindPort("usb-nothing-like-it"));
        QVERIFY(!FindPort("COM9"));  // on Linux no port is called so
        // vtctl takes them as the tool lists them.
        const PortArgument byName = ParsePort(kA);
        QCOMPARE(byName.index.value_or(255), a);
        QCOMPARE(byName.Label(), kA);
        QCOMPARE(ParsePort("COM3").index.value_or(255), 2);
        QCOMPARE(ParsePort("/dev/vt-absent").device, std::string("/dev/vt-absent"));
    }

    void aVanishedAdapterLeavesNoEntryButTheChosenOne()
    {
        // A link udev left behind points nowhere: that adapter is not present.
        adapters->Plug(kA);
        const unsigned a = IndexOf(kA);
        QVERIFY(symlink("/dev/vt-gone", adapters->Path("usb-Gone-if00-port0").c_str()) == 0);
        QVERIFY(!Listed(ListPorts(), "usb-Gone-if00-port0"));
        QVERIFY(!FindPort("usb-Gone-if00-port0"));
        adapters->Unplug(kA);
        QVERIFY(!Listed(ListPorts(), kA));
        QCOMPARE(PortLabel(a), kA);  // the index still names it
        QCOMPARE(PortPath(a), adapters->Path(kA));
    }

    void theWindowOffersAdaptersByIdAfterTheEightAndKeepsTheChosenOne()
    {
        WindowFixture::CreateWindows();
        MessageRecorder messages;
        adapters->Plug(kA);
        adapters->Plug(kB);
        const QString a = QString::fromStdString(kA), b = QString::fromStdString(kB);
        const QString describedA = QString::fromStdString(adapters->Path(kA) + " (" + adapters->Display(kA).DevicePath() + ")");
        InConnectionWindow([&] {
            QComboBox* ports = Combo(Form2, "ComboBox1");
            QCOMPARE(ports->itemText(0), QStringLiteral("COM 1"));
            QCOMPARE(ports->itemText(7), QStringLiteral("COM 8"));
            QCOMPARE(ports->findText(a), int(kPortCount));
            QCOMPARE(ports->findText(b), int(kPortCount) + 1);
            // The tooltip names the device, COM 1's as well.
            QCOMPARE(ports->itemData(ports->findText(a), Qt::ToolTipRole).toString(), describedA);
            QCOMPARE(ports->itemData(0, Qt::ToolTipRole).toString(), describedA);
            Pick(ports, b);
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(unsigned(Settings.portIndex), IndexOf(kB));

        adapters->Unplug(kA);
        InConnectionWindow([&] {
            QComboBox* ports = Combo(Form2, "ComboBox1");
            QCOMPARE(ports->currentText(), b);
            QCOMPARE(ports->findText(a), -1);
            QCOMPARE(ports->itemData(0, Qt::ToolTipRole).toString(),
                     QString::fromStdString(adapters->Path(kA)) + QStringLiteral(" (not present)"));
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(unsigned(Settings.portIndex), IndexOf(kB));
        QVERIFY(TryOpenPort(OpenWhen::Always));
        QCOMPARE(Link.PortDevice(), adapters->Path(kB));
        Link.ClosePort();

        // Unplugged, the chosen adapter stays listed and chosen.
        adapters->Unplug(kB);
        InConnectionWindow([&] {
            QComboBox* ports = Combo(Form2, "ComboBox1");
            QCOMPARE(ports->currentText(), b);
            QVERIFY(ports->currentData(Qt::ToolTipRole).toString().endsWith(QStringLiteral(" (not present)")));
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(unsigned(Settings.portIndex), IndexOf(kB));
        QVERIFY(messages.shown.isEmpty());
    }
};

QTEST_MAIN(PortsTest)
#include "tst_ports.moc"
