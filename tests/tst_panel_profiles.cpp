// The panel profiles window as a technician uses it, against simulated
// displays: saving a display's settings, comparing, writing a file to one
// display or several with a read-back, cancelling, refused files and ports,
// and the image and the port shared with the other windows.
#include "ConfiguredDisplay.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Czas.h"
#include "FileChoice.h"
#include "Jasnosc.h"
#include "PanelProfiles.h"
#include "PortAction.h"
#include "Profile.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using sim::FaultKind;

namespace {

constexpr int kLongestActionMs = 30000;

QString Result()
{
    return FormPanelProfiles->findChild<QLabel*>(QStringLiteral("LabelResult"))->text();
}

QString Caption()
{
    return FormPanelProfiles->findChild<QLabel*>(QStringLiteral("LabelDifferences"))->text();
}

QTableWidget* Table()
{
    return FormPanelProfiles->findChild<QTableWidget*>(QStringLiteral("TableDifferences"));
}

QStringList TableRows()
{
    QStringList rows;
    for (int row = 0; row < Table()->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < Table()->columnCount(); ++column)
            cells << Table()->item(row, column)->text();
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

QListWidget* List()
{
    return FormPanelProfiles->findChild<QListWidget*>(QStringLiteral("ListResults"));
}

// The display's lines, without where each one's settings before were kept.
QStringList ResultList()
{
    QStringList lines;
    for (int row = 0; row < List()->count(); ++row)
        lines << List()
                     ->item(row)
                     ->text()
                     .remove(QRegularExpression(QStringLiteral(" \\(its settings before: [^)]*\\)$")))
                     .replace(QRegularExpression(QStringLiteral("; its settings before: [^)]*\\)$")), QStringLiteral(")"));
    return lines;
}

// Frames of any function to `address` among those the display saw.
int FramesTo(const std::vector<sim::ReceivedFrame>& frames, std::uint8_t address)
{
    return int(std::count_if(frames.begin(), frames.end(),
                             [&](const sim::ReceivedFrame& frame) { return !frame.bytes.empty() && frame.bytes[0] == address; }));
}

// Every setting's register on the display at `address`.
std::vector<std::uint32_t> SettingsOf(const sim::SimDisplay& display, std::uint8_t address = 1)
{
    std::vector<std::uint32_t> values;
    for (const profile::Setting& setting : profile::Settings())
        values.push_back(display.Register(address, setting.reg));
    return values;
}

void Click(const char* button)
{
    Button(FormPanelProfiles, button)->click();
}

// The frames of function 16 among those the display saw.
int Writes(const std::vector<sim::ReceivedFrame>& frames, std::uint8_t address = 1)
{
    return int(std::count_if(frames.begin(), frames.end(), [&](const sim::ReceivedFrame& frame) {
        return frame.bytes.size() > 1 && frame.bytes[0] == address && frame.bytes[1] == 16;
    }));
}

}  // namespace

class PanelProfilesTest : public QObject {
    Q_OBJECT
    WindowFixture fx;
    QTemporaryDir folder;
    QList<FileRequest> asked;  // the file dialogs the window opened
    QString answer;            // what the next one gives back

    QString Path(const char* name) const { return folder.filePath(QString::fromLatin1(name)); }

    void WaitUntilDone()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!FormPanelProfiles->Busy(), kLongestActionMs);
    }

    // The connected display's settings saved into `name` through the window.
    QString Save(const char* name)
    {
        answer = Path(name);
        Click("ButtonSave");
        WaitUntilDone();
        return answer;
    }

    void Compare(const QString& file)
    {
        answer = file;
        Click("ButtonCompare");
        WaitUntilDone();
    }

    void StartWrite(const QString& file, const QString& addresses)
    {
        answer = file;
        LineEdit(FormPanelProfiles, "EditAddresses")->setText(addresses);
        Click("ButtonWrite");
    }

    void Write(const QString& file, const QString& addresses = QStringLiteral("1"))
    {
        StartWrite(file, addresses);
        WaitUntilDone();
    }

    // Displays at address 1 and at `others` on one line, a profile saved
    // from the first as a technician set it up, and writing it to
    // `addresses` under way once the first display's write has begun.
    void WritingToSeveral(std::vector<std::uint8_t> others, const QString& addresses)
    {
        fx.End();
        sim::SimDisplay::Options options;
        options.moreAddresses = std::move(others);
        fx.Begin(options);
        FormPanelProfiles->show();
        Configure(*fx.display);
        const QString file = Save("panel.json");
        fx.display->ClearFrames();
        StartWrite(file, addresses);
        QTRY_VERIFY_WITH_TIMEOUT(Result().contains(QStringLiteral("(1 of ")), kLongestActionMs);
    }

private slots:
    void init()
    {
        // Backups go to a folder of the test's own.
        qputenv("XDG_STATE_HOME", Path("state").toLocal8Bit());
        fx.Begin();
        asked.clear();
        SetFileChoiceHook([this](const FileRequest& request) {
            asked << request;
            return answer;
        });
        FormPanelProfiles->show();
    }

    void cleanup()
    {
        FormPanelProfiles->close();
        Form5->Timer1->stop();
        SetFileChoiceHook(nullptr);
        fx.End();
    }

    void aDisplaysSettingsCarryOverToAnotherThroughTheWindow()
    {
        Configure(*fx.display);
        QCOMPARE(LineEdit(FormPanelProfiles, "EditAddresses")->text(), QStringLiteral("1"));
        const QString file = Save("first.json");
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QVERIFY2(Result().contains(QDir::toNativeSeparators(file)), qPrintable(Result()));
        // The dialog suggested a name of the address and the date.
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0].use, FileUse::Save);
        QCOMPARE(QFileInfo(asked[0].start).fileName(),
                 QStringLiteral("display-1-%1.json").arg(QDate::currentDate().toString(Qt::ISODate)));
        std::vector<std::uint32_t> source;
        for (const profile::Setting& setting : profile::Settings())
            source.push_back(fx.display->Register(setting.reg));

        // Another display behind the same port, with its own line, clock and flags.
        fx.Replug();
        fx.display->SetRegister(4029, 0xC100);
        fx.display->SetRegister(4030, 0x8201);
        fx.display->ClearFrames();
        Write(file);
        QCOMPARE(Result(), QStringLiteral("Written and verified."));
        QCOMPARE(ResultList(), QStringList {QStringLiteral("display 1: written and verified")});
        // The confirmation named the file and showed what would change.
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->shown[0].icon, MessageIcon::Question);
        QVERIFY(fx.messages->shown[0].text.startsWith(QStringLiteral("Write first.json to the display at address 1?")));
        // The box may stand over the table: it lists the changes itself.
        QVERIFY2(fx.messages->shown[0].text.contains(QStringLiteral("\n  rows I.digits: ")),
                 qPrintable(fx.messages->shown[0].text));
        QVERIFY(fx.messages->shown[0].text.contains(QStringLiteral("more in the table")));
        // Once written, the table shows what the read-back found: nothing left.
        QCOMPARE(Table()->rowCount(), 0);
        QCOMPARE(Caption(), QStringLiteral("The display matches the file."));
        // The second dialog began in the folder of the first file.
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked[1].use, FileUse::Open);
        QCOMPARE(QDir(asked[1].start), QDir(folder.path()));

        std::size_t k = 0;
        for (const profile::Setting& setting : profile::Settings())
            QVERIFY2(fx.display->Register(setting.reg) == source[k++], setting.Path().c_str());
        QCOMPARE(fx.display->Register(7611), FloatToBits(-3.4E38f));
        QCOMPARE(fx.display->Register(4029), 0xC100u);
        QCOMPARE(fx.display->Register(4030), 0x8201u);
        QCOMPARE(fx.display->Register(4000), 1u);
        const QString forbidden = ForbiddenWrite(fx.display->Frames());
        QVERIFY2(forbidden.isEmpty(), qPrintable(forbidden));
    }

    void aSettingChangedInAWindowIsNamedAndWrittenBack()
    {
        fx.display->SetRegister(Blocks::Brightness.first, 40);
        const QString file = Save("panel.json");
        // What was read is in the image: the brightness window shows it.
        Form6->show();
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("40"));
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("75"));
        Button(Form6, "SpeedButton1")->click();
        Form6->hide();
        QCOMPARE(fx.display->Register(Blocks::Brightness.first), 75u);

        Compare(file);
        QCOMPARE(TableRows(), QStringList {QStringLiteral("brightness|dayLevel|75|40")});
        QCOMPARE(Result(), QStringLiteral("The display differs from panel.json in 1 setting."));
        Click("ButtonCopy");
        QCOMPARE(QApplication::clipboard()->text(),
                 QStringLiteral("Group\tSetting\tOn the display\tIn the file\nbrightness\tdayLevel\t75\t40\n"));
        QCOMPARE(FormPanelProfiles->findChild<QLabel*>(QStringLiteral("LabelCopied"))->text(),
                 QStringLiteral("Copied 1 row."));

        Link.ClosePort();
        Write(file);
        QCOMPARE(Result(), QStringLiteral("Written and verified."));
        QCOMPARE(fx.display->Register(Blocks::Brightness.first), 40u);
        // The tool's own connection holds the port afterwards, as after any window's action.
        QVERIFY(Settings.portOpen != 0);
        QVERIFY(!PortOwned());
        Compare(file);
        QCOMPARE(Result(), QStringLiteral("The display matches the file."));
        QCOMPARE(Table()->rowCount(), 0);
        // The window shows the old value again.
        Form6->show();
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("40"));
        Form6->hide();
        QVERIFY2(fx.messages->shown.size() == 1, qPrintable(fx.messages->LastText()));  // the confirmation alone
    }

    void writingToSeveralGoesOnPastAnAbsentDisplay()
    {
        WritingToSeveral({3}, QStringLiteral("1-3"));  // 2 is absent
        WaitUntilDone();
        QCOMPARE(ResultList(), (QStringList {QStringLiteral("display 1: written and verified"),
                                             QStringLiteral("display 2: not written: reading rows: no reply"),
                                             QStringLiteral("display 3: written and verified")}));
        QCOMPARE(Result(), QStringLiteral("2 of 3 displays written and verified, 1 failed."));
        QVERIFY(fx.messages->shown[0].text.contains(QStringLiteral("the 3 displays at addresses 1-3")));
        for (const profile::Setting& setting : profile::Settings())
            QVERIFY2(fx.display->Register(3, setting.reg) == fx.display->Register(setting.reg), setting.Path().c_str());
        const auto* bar = FormPanelProfiles->findChild<QProgressBar*>(QStringLiteral("ProgressBar"));
        QCOMPARE(bar->value(), bar->maximum());
    }

    void cancelStopsAfterTheDisplayInProgress()
    {
        // The window answers while the first display is written.
        WritingToSeveral({2, 3, 4}, QStringLiteral("1-4"));
        QVERIFY(Button(FormPanelProfiles, "ButtonCancel")->isEnabled());
        QVERIFY(!Button(FormPanelProfiles, "ButtonWrite")->isEnabled());
        Click("ButtonCancel");
        WaitUntilDone();
        const QStringList lines = ResultList();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QStringLiteral("display 1: written and verified"));
        QCOMPARE(lines[3], QStringLiteral("display 4: not written: cancelled"));
        // Once one is cancelled, so are the rest, and they saw no write.
        const int firstCancelled = int(lines.indexOf(QRegularExpression(QStringLiteral(".*cancelled$"))));
        for (int k = firstCancelled; k < 4; ++k) {
            QVERIFY(lines[k].endsWith(QStringLiteral("not written: cancelled")));
            QCOMPARE(Writes(fx.display->Frames(), std::uint8_t(k + 1)), 0);
        }
        // Those never tried are not told as failed.
        QCOMPARE(Result(), QStringLiteral("%1 of 4 displays written and verified, %2 not written (cancelled).")
                               .arg(firstCancelled)
                               .arg(4 - firstCancelled));
        QVERIFY(!PortOwned());
    }

    void aDamagedFileIsRefusedWithNothingSent_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("writing");
        // A file as the window saves one, then spoilt.
        profile::Profile least;
        least.registers.Set(Blocks::Rows.first, 1);        // row I needs a digit
        least.registers.Set(Blocks::DeviceLine.first, 1);  // and the device line a time-out
        const profile::Json valid = profile::Json::parse(profile::WriteProfileText(least, "test"));
        const auto spoilt = [&](const auto& spoil) {
            profile::Json document = valid;
            spoil(document);
            return QByteArray::fromStdString(document.dump());
        };
        const QByteArray newer = spoilt([](profile::Json& document) { document["version"] = 2; });
        const QByteArray outOfRange = spoilt([](profile::Json& document) { document["brightness"]["dayLevel"] = 101; });
        const QByteArray noGroup = spoilt([](profile::Json& document) { document.erase("brightness"); });
        QTest::newRow("not JSON") << QByteArray("{ rows") << "not JSON" << true;
        QTest::newRow("newer") << newer << "a profile of version 2, newer than this program reads" << true;
        QTest::newRow("out of range") << outOfRange << "brightness.dayLevel: 101 is outside 0 to 100" << true;
        QTest::newRow("missing group, compared") << noGroup << "the group \"brightness\" is missing" << false;
    }

    void aDamagedFileIsRefusedWithNothingSent()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        QFETCH(bool, writing);
        QFile file(Path("damaged.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        fx.display->ClearFrames();
        answer = file.fileName();
        Click(writing ? "ButtonWrite" : "ButtonCompare");
        QVERIFY(!FormPanelProfiles->Busy());
        QCOMPARE(fx.messages->shown.size(), 1);
        const MessageRecord& message = fx.messages->shown[0];
        QCOMPARE(message.caption, QStringLiteral("Error"));
        QVERIFY2(message.text.startsWith(file.fileName() + QStringLiteral(": ") + reason), qPrintable(message.text));
        QVERIFY(message.text.endsWith(QStringLiteral("\nNothing was sent.")));
        QTest::qWait(100);
        QVERIFY(fx.display->Frames().empty());
    }

    void aGroupTheDisplayRefusesIsNamedAndNothingSaved()
    {
        fx.display->InjectFault({FaultKind::Exception, 2});  // the rows' read
        Save("refused.json");
        QVERIFY(asked.isEmpty());  // no file was asked for
        QVERIFY(!QFile::exists(Path("refused.json")));
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->shown[0].caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages->shown[0].text,
                 QStringLiteral("The display at address 1 could not be read; nothing was saved.\n"
                                "reading rows: refused with exception 2"));
    }

    void aPortThatDoesNotOpenIsToldAsEveryWindowTellsIt()
    {
        setenv("VT_COM1", Path("no-such-device").toLocal8Bit().constData(), 1);
        Click("ButtonSave");
        QVERIFY(!FormPanelProfiles->Busy());
        QVERIFY(asked.isEmpty());
        QVERIFY(!PortOwned());
        // The same words the brightness window finds for it.
        Form6->show();
        Button(Form6, "SpeedButton2")->click();
        Form6->hide();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(fx.messages->shown[0].caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages->shown[0].text, fx.messages->shown[1].text);
        QVERIFY(fx.messages->shown[0].text.startsWith(QStringLiteral("Cannot open COM 1")));
    }

    void addressesThatAreNoListAreRefusedBeforeAFileIsAskedFor_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("zero") << "0";
        QTest::newRow("open range") << "1-";
        QTest::newRow("beyond") << "240-248";
    }

    // A list typed for several panels stays while the connection does; once
    // the connection names another address or port, the window offers that
    // display alone.
    void aListOfAddressesLastsAsLongAsTheConnection()
    {
        QLineEdit* addresses = LineEdit(FormPanelProfiles, "EditAddresses");
        addresses->setText(QStringLiteral("1-10"));
        FormPanelProfiles->close();
        FormPanelProfiles->show();
        QCOMPARE(addresses->text(), QStringLiteral("1-10"));
        FormPanelProfiles->close();
        Settings.displayAddress = 3;
        FormPanelProfiles->show();
        QCOMPARE(addresses->text(), QStringLiteral("3"));
        QCOMPARE(FormPanelProfiles->findChild<QLabel*>(QStringLiteral("LabelConnection"))->text(),
                 QStringLiteral("COM 1, 8n2, 9600, address 3"));
    }

    void addressesThatAreNoListAreRefusedBeforeAFileIsAskedFor()
    {
        QFETCH(QString, text);
        LineEdit(FormPanelProfiles, "EditAddresses")->setText(text);
        Click("ButtonWrite");
        QVERIFY(asked.isEmpty());
        QCOMPARE(fx.messages->LastHeadline().section(QLatin1Char(':'), 0, 0), QStringLiteral("Error of the addresses"));
    }

    void closingDuringAWriteCancelsAndKeepsTheList_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("title bar") << false;
        QTest::newRow("Escape") << true;
    }

    void closingDuringAWriteCancelsAndKeepsTheList()
    {
        QFETCH(bool, escape);
        WritingToSeveral({2, 3, 4}, QStringLiteral("1-4"));
        if (escape)
            QTest::keyClick(FormPanelProfiles, Qt::Key_Escape);
        else
            FormPanelProfiles->close();
        WaitUntilDone();
        QTRY_VERIFY(!FormPanelProfiles->isVisible());
        const QStringList lines = ResultList();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QStringLiteral("display 1: written and verified"));
        QCOMPARE(lines[3], QStringLiteral("display 4: not written: cancelled"));
        QCOMPARE(FramesTo(fx.display->Frames(), 4), 0);
        FormPanelProfiles->show();
        QCOMPARE(ResultList(), lines);
        QVERIFY2(Result().contains(QStringLiteral("not written (cancelled)")), qPrintable(Result()));
    }

    void cancelInThePauseAfterAFailedDisplayHolds()
    {
        // Cancel pressed as display 2's failure is listed: display 3 hears nothing.
        QMetaObject::Connection onLine = connect(List()->model(), &QAbstractItemModel::rowsInserted, this, [] {
            if (List()->count() == 2)
                Click("ButtonCancel");
        });
        WritingToSeveral({3}, QStringLiteral("1-3"));  // 2 is absent
        WaitUntilDone();
        disconnect(onLine);
        QCOMPARE(ResultList(), (QStringList {QStringLiteral("display 1: written and verified"),
                                             QStringLiteral("display 2: not written: reading rows: no reply"),
                                             QStringLiteral("display 3: not written: cancelled")}));
        QCOMPARE(FramesTo(fx.display->Frames(), 3), 0);
        // Verified, failed and not written counted apart.
        QCOMPARE(Result(), QStringLiteral("1 of 3 displays written and verified, 1 failed, 1 not written (cancelled)."));
    }

    void aFifoIsRefusedWithoutWaitingOnIt()
    {
        const QString fifo = Path("fifo.json");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        answer = fifo;
        Click("ButtonWrite");  // returns: nothing waits for a writer
        QVERIFY(!FormPanelProfiles->Busy());
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->shown[0].caption, QStringLiteral("Error"));
        QVERIFY2(fx.messages->shown[0].text.startsWith(fifo + QStringLiteral(": not a regular file")),
                 qPrintable(fx.messages->shown[0].text));
        QVERIFY(fx.display->Frames().empty());
    }

    // A write the display refuses part-way: the list names each group's
    // state, the table what the display holds, and the image takes the
    // display's values, not the file's; "Undo the last write" puts every
    // setting back bit for bit.
    void aWriteRefusedPartWayIsToldByGroupAndUndone()
    {
        Configure(*fx.display);
        const QString file = Save("panel.json");
        // The display as it was before: other rows, brightness and device 2.
        fx.display->SetRegister(Blocks::Rows.first, 5);
        fx.display->SetRegister(Blocks::Brightness.first, 70);
        fx.display->SetRegister(4305, 200);
        fx.display->SetRegisterFloat(7643, 2.5f);
        const std::vector<std::uint32_t> before = SettingsOf(*fx.display);
        Compare(file);  // the image knows the display as it is
        fx.display->InjectFault({FaultKind::RefuseWrite, 4305});
        fx.messages->shown.clear();
        Write(file);
        QCOMPARE(ResultList(), QStringList {QStringLiteral(
                                   "display 1: rows, brightness, deviceLine written and verified; devices refused with "
                                   "exception 3; recalibration not written (the display now holds part of the profile)")});
        QVERIFY(List()->item(0)->text().contains(Path("state") + QStringLiteral("/vtconfig/backups/display-1-")));
        // The table: what the display did not take, with what it holds.
        QCOMPARE(TableRows(), (QStringList {QStringLiteral("devices|2.address|200|247"),
                                            QStringLiteral("recalibration|I.slope|2.5|1.25")}));
        // The image: the display's values, group by group.
        for (unsigned reg : {unsigned(Blocks::Rows.first), unsigned(Blocks::Brightness.first), 4305u, 7643u})
            QCOMPARE(Image.Get(reg), fx.display->Register(reg));
        QCOMPARE(Image.Get(4305), 200u);
        QCOMPARE(Image.Get(Blocks::Rows.first), 6u);

        QVERIFY(Button(FormPanelProfiles, "ButtonUndo")->isEnabled());
        Click("ButtonUndo");
        WaitUntilDone();
        QCOMPARE(ResultList(), QStringList {QStringLiteral("display 1: written and verified")});
        QCOMPARE(SettingsOf(*fx.display), before);
        QCOMPARE(Image.Get(Blocks::Rows.first), 5u);
        QVERIFY(!Button(FormPanelProfiles, "ButtonUndo")->isEnabled());  // an undo is not undone
        // Its record names the backup each display was written from.
        answer = Path("undo.json");
        Click("ButtonRecord");
        QFile record(Path("undo.json"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const profile::Json json = profile::Json::parse(record.readAll().toStdString());
        QVERIFY(QString::fromStdString(json["displays"][0]["profile"]["path"].get<std::string>())
                    .startsWith(Path("state") + QStringLiteral("/vtconfig/backups/display-1-")));
    }

    // Three displays, the second refusing a group: the list, the table and
    // the summary agree with what each display holds.
    void aDisplayOfSeveralRefusingAGroupIsToldApart()
    {
        fx.End();
        sim::SimDisplay::Options options;
        options.moreAddresses = {2, 3};
        fx.Begin(options);
        FormPanelProfiles->show();
        Configure(*fx.display);
        const QString file = Save("panel.json");
        sim::Fault refused {FaultKind::RefuseWrite, 4305, true};
        refused.address = 2;
        fx.display->InjectFault(refused);
        Write(file, QStringLiteral("1-3"));
        QCOMPARE(ResultList(), (QStringList {QStringLiteral("display 1: written and verified"),
                                             QStringLiteral("display 2: rows, brightness, deviceLine written and verified; "
                                                            "devices refused with exception 3; recalibration not written "
                                                            "(the display now holds part of the profile)"),
                                             QStringLiteral("display 3: written and verified")}));
        QCOMPARE(Result(), QStringLiteral("2 of 3 displays written and verified, 1 failed."));
        QCOMPARE(SettingsOf(*fx.display, 3), SettingsOf(*fx.display, 1));
        // The table: each setting where display 2 differs from the file, and no other.
        QStringList differing;
        for (const profile::Setting& setting : profile::Settings())
            if (fx.display->Register(2, setting.reg) != fx.display->Register(1, setting.reg))
                differing << QStringLiteral("%1 (display 2)|%2|%3|%4")
                                 .arg(QString::fromLatin1(profile::GroupName(setting.group)),
                                      QString::fromStdString(setting.Name()),
                                      QString::fromStdString(profile::ValueText(setting, fx.display->Register(2, setting.reg))),
                                      QString::fromStdString(profile::ValueText(setting, fx.display->Register(1, setting.reg))));
        QVERIFY(!differing.isEmpty());
        QCOMPARE(TableRows(), differing);
        QCOMPARE(Caption(), QStringLiteral("Settings the display at address 2 did not take"));
        // The image holds the connection's display alone.
        for (const profile::Setting& setting : profile::Settings())
            QVERIFY2(Image.Get(setting.reg) == fx.display->Register(1, setting.reg), setting.Path().c_str());
    }

    void theRecordOfAWriteIsSavedWithItsPage()
    {
        const QString file = Save("panel.json");
        fx.display->SetRegister(Blocks::Brightness.first, 20);
        Write(file);
        answer = Path("record.json");
        Click("ButtonRecord");
        QFile record(Path("record.json"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const profile::Json json = profile::Json::parse(record.readAll().toStdString());
        QCOMPARE(QString::fromStdString(json["format"].get<std::string>()), QStringLiteral("vtconfig-record"));
        QCOMPARE(json["displays"].size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(json["displays"][0]["result"].get<std::string>()), QStringLiteral("verified"));
        QFile page(Path("record.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(page.readAll().contains("dayLevel"));
    }

    void theClocksSynchronisationWaitsForTheWrite()
    {
        WritingToSeveral({2}, QStringLiteral("1,2"));
        QVERIFY(PortOwned());
        Form5->Timer1->start(0);  // comes due now
        WaitUntilDone();
        QTRY_VERIFY_WITH_TIMEOUT(Writes(fx.display->Frames()) > Writes(fx.display->Frames(), 2), 5000);
        // Every frame of the window's write came before the clock's.
        const auto frames = fx.display->Frames();
        const auto clock = std::find_if(frames.begin(), frames.end(), [](const sim::ReceivedFrame& frame) {
            return frame.bytes[1] == 16 && (frame.bytes[2] << 8 | frame.bytes[3]) == Blocks::Clock.first;
        });
        QVERIFY(clock != frames.end());
        QCOMPARE(clock + 1, frames.end());
        QCOMPARE(Result(), QStringLiteral("2 of 2 displays written and verified."));
        QVERIFY2(fx.messages->shown.size() == 1, qPrintable(fx.messages->LastText()));
    }
};

QTEST_MAIN(PanelProfilesTest)
#include "tst_panel_profiles.moc"
