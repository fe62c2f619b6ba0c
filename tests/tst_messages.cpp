// Messages that say why: every transmission message keeps its window's text
// as its first line and says under it what happened and what to try, for
// each fault the simulated display can put on the line; a validation
// message leaves the focus on the field it refers to.
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Czas.h"
#include "Jasnosc.h"
#include "Status.h"
#include "Urzadzenia.h"
#include "Uart.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "Zmiana.h"

#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using sim::FaultKind;

namespace {

const char* const kNoReply =
    "No reply from address 1 at 9600 8n2 within \\d+ ms: check the address, rate, mode and wiring\\.";
const char* const kNearRate = "check the wiring, or a rate that almost matches the display's\\.";

void ExpectCause(const MessageRecorder& messages, const char* headline, const QString& cause)
{
    QVERIFY(!messages.shown.isEmpty());
    QCOMPARE(messages.LastHeadline(), QString::fromUtf8(headline));
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(cause));
    QVERIFY2(pattern.match(messages.LastCause()).hasMatch(), qPrintable(messages.LastText()));
}

void ExpectNoReply(const MessageRecorder& messages, const char* headline = "Transmision error")
{
    ExpectCause(messages, headline, QString::fromLatin1(kNoReply));
}

}  // namespace

class MessagesTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void init()
    {
        fx.Begin();
        Form7->Invoke("FormCreate");
    }
    void cleanup()
    {
        for (TForm* form : {static_cast<TForm*>(Form2), static_cast<TForm*>(Form3), static_cast<TForm*>(Form4),
                            static_cast<TForm*>(Form5), static_cast<TForm*>(Form6), static_cast<TForm*>(Form7),
                            static_cast<TForm*>(Form8), static_cast<TForm*>(Form9)})
            form->hide();
        Form5->Timer1->stop();
        fx.End();
    }

    // ---- what happened, for each fault of the line (vtsim --fault names them)

    void eachFaultNamesItsCause_data()
    {
        QTest::addColumn<FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("cause");
        const QString isTheDisplay = QStringLiteral(": check that the device at address 1 is the display\\.");
        QTest::newRow("silent") << FaultKind::Silent << 0 << QString::fromLatin1(kNoReply);
        QTest::newRow("late=1200") << FaultKind::Late << 1200 << QString::fromLatin1(kNoReply);
        QTest::newRow("bad-crc") << FaultKind::BadCrc << 0
                                 << QStringLiteral("The reply failed its CRC check: ") + kNearRate;
        QTest::newRow("other-address") << FaultKind::OtherAddress << 0
                                       << QStringLiteral("The reply came from address 2, not from address 1: another "
                                                         "device answers on this line; check the addresses of the "
                                                         "devices on it\\.");
        QTest::newRow("exception=1") << FaultKind::Exception << 1
                                     << QStringLiteral("The display refused the request with exception 1 \\(a "
                                                       "function the display does not know\\)") + isTheDisplay;
        QTest::newRow("exception=2") << FaultKind::Exception << 2
                                     << QStringLiteral("The display refused the request with exception 2 \\(a "
                                                       "register address the display does not have\\)") + isTheDisplay;
        QTest::newRow("exception=3") << FaultKind::Exception << 3
                                     << QStringLiteral("The display refused the request with exception 3 \\(a value "
                                                       "the display does not accept\\): check the values\\.");
        QTest::newRow("exception=4") << FaultKind::Exception << 4
                                     << QStringLiteral("The display refused the request with exception 4 \\(the "
                                                       "display failed to carry it out\\): try again\\.");
        // Only a gateway says 10 or 11, for a display that did not answer it.
        QTest::newRow("exception=10") << FaultKind::Exception << 10
                                      << QStringLiteral("No reply through the gateway: a gateway on the line got no "
                                                        "reply from address 1 \\(exception 10\\); check the "
                                                        "address, and the gateway's line to the display \\(rate, "
                                                        "mode, wiring\\)\\.");
        QTest::newRow("exception=11") << FaultKind::Exception << 11
                                      << QStringLiteral("No reply through the gateway: a gateway on the line got no "
                                                        "reply from address 1 \\(exception 11\\); check the "
                                                        "address, and the gateway's line to the display \\(rate, "
                                                        "mode, wiring\\)\\.");
        QTest::newRow("exception=12") << FaultKind::Exception << 12
                                      << QStringLiteral("The display refused the request with exception 12\\.");
        // The brightness reply is 13 bytes long.
        QTest::newRow("truncate=5") << FaultKind::Truncate << 5
                                    << QStringLiteral("Only 5 of the reply's 13 bytes came from address 1 at 9600 8n2 "
                                                      "within \\d+ ms: ") + kNearRate;
        QTest::newRow("truncate=12") << FaultKind::Truncate << 12
                                     << QStringLiteral("The reply came cut short, 12 of 13 bytes: ") + kNearRate;
        QTest::newRow("garbage") << FaultKind::Prefix << 3
                                 << QStringLiteral("A garbled reply came, \\d+ bytes that are no reply from address "
                                                   "1: ") + kNearRate;
    }

    void eachFaultNamesItsCause()
    {
        QFETCH(FaultKind, kind);
        QFETCH(int, value);
        QFETCH(QString, cause);
        Form6->show();
        fx.display->InjectFault({kind, value});
        Button(Form6, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        ExpectCause(*fx.messages, "Transmision error", cause);
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Error"));
    }

    void aLineThatNeverFallsSilentSaysSo()
    {
        // Noise every 20 ms for ever: each read ends, in the window's own
        // message, once the one bounded wait for silence is over.
        Form6->show();
        fx.display->SetChatter(20);
        for (int read = 0; read < 2; ++read)
            Button(Form6, "SpeedButton2")->click();
        QVERIFY(Link.LineNeverFellSilent());
        ExpectCause(*fx.messages, "Transmision error",
                    QStringLiteral("The line never fell silent before the request: another device or program keeps "
                                   "talking on it; check the wiring, and that nothing else uses the port\\."));
    }

    // ---- every window's transmission messages

    void everyWindowSaysWhy()
    {
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        struct Action {
            TForm* form;
            const char* button;
            const char* headline;
        };
        const Action actions[] = {
            {Form4, "SpeedButton2", "Transmision error"},  // display configuration: read
            {Form4, "SpeedButton1", "Transmision error"},  //   and write
            {Form5, "SpeedButton1", "Transmision error"},  // clock: write
            {Form5, "SpeedButton2", "Transmision error"},  //   and read
            {Form6, "SpeedButton1", "Transmision error"},  // brightness
            {Form7, "SpeedButton2", "Przekroczony czas oczekiwania"},  // status: read
            {Form8, "SpeedButton1", "Transmision error"},  // added devices: read
            {Form9, "SpeedButton1", "Transmision error"},  // recalibration: read
            {Form9, "SpeedButton2", "Transmision error"},  //   and write
        };
        for (const Action& action : actions) {
            fx.messages->shown.clear();
            action.form->show();
            if (action.form == Form4)
                for (const char* digits : {"Edit1", "Edit2", "Edit3", "Edit4"})
                    LineEdit(Form4, digits)->setText(QStringLiteral("1"));
            if (action.form == Form8)
                LineEdit(Form8, "Edit1")->setText(QStringLiteral("1000"));
            Button(action.form, action.button)->click();
            QVERIFY2(fx.messages->shown.size() == 1,
                     qPrintable(QStringLiteral("%1 %2").arg(action.form->objectName(), QLatin1String(action.button))));
            ExpectNoReply(*fx.messages, action.headline);
            action.form->hide();
        }

        // The added devices' write: one message per block, each saying why.
        fx.messages->shown.clear();
        Form8->show();
        LineEdit(Form8, "Edit1")->setText(QStringLiteral("1000"));
        Button(Form8, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.size() == 2, qPrintable(fx.messages->LastText()));
        for (const MessageRecord& message : fx.messages->shown)
            QVERIFY2(message.text.startsWith(QStringLiteral("Transmision error\nNo reply from address 1 at 9600 "
                                                            "8n2 within ")),
                     qPrintable(message.text));
    }

    // The status window's Polish text said the waiting time was exceeded for
    // a display that refused at once; the line under it says what it did.
    void theStatusWindowSaysWhatTheDisplayDid()
    {
        Form7->show();
        fx.display->InjectFault({FaultKind::Exception, 2});
        Button(Form7, "SpeedButton2")->click();
        ExpectCause(*fx.messages, "Przekroczony czas oczekiwania",
                    QStringLiteral("The display refused the request with exception 2 \\(a register address the display "
                                   "does not have\\): check that the device at address 1 is the display\\."));
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Błąd transmisji"));

        // "Close" after a read: its write says why it failed too.
        Button(Form7, "SpeedButton2")->click();
        fx.display->InjectFault({FaultKind::BadCrc});
        Button(Form7, "SpeedButton1")->click();
        ExpectCause(*fx.messages, "Transmision error", QStringLiteral("The reply failed its CRC check: ") + kNearRate);
    }

    // An action of several steps names the step that failed, not the one after.
    void theFailedStepIsNamedWhenALaterOneSucceeded()
    {
        Form4->show();
        fx.display->InjectFault({FaultKind::BadCrc});  // the rows; the alarm values come whole
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        ExpectCause(*fx.messages, "Transmision error", QStringLiteral("The reply failed its CRC check: ") + kNearRate);

        fx.messages->shown.clear();
        Form9->show();
        fx.display->InjectFault({FaultKind::Exception, 3});  // input I; input II acknowledged
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        ExpectCause(*fx.messages, "Transmision error",
                    QStringLiteral("The display refused the request with exception 3 .*"));
    }

    // The synchronisation fires over whatever window is open: it says so.
    void theSynchronisationSaysItIsTheSynchronisation()
    {
        Form5->show();
        Button(Form5, "SpeedButton3")->click();
        const QTime armed = QTime::currentTime();
        Form5->hide();
        fx.display->InjectFault({FaultKind::Silent});
        Form5->Invoke("Timer1Timer");
        QCOMPARE(fx.messages->shown.size(), 1);
        const QStringList lines = fx.messages->LastText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("Transmision error"));
        QVERIFY2(lines[1].startsWith(QStringLiteral("No reply from address 1")), qPrintable(lines[1]));
        const QTime wholeMinute = QTime(armed.hour(), armed.minute()).addSecs(60);
        // Armed within this test: the minute may have turned since.
        QVERIFY2(lines[2] == QStringLiteral("From the clock's synchronisation armed for %1.")
                                 .arg(wholeMinute.toString(QStringLiteral("HH:mm")))
                     || lines[2] == QStringLiteral("From the clock's synchronisation armed for %1.")
                                        .arg(wholeMinute.addSecs(-60).toString(QStringLiteral("HH:mm"))),
                 qPrintable(lines[2]));

        // A message of the user's own action says nothing of it.
        fx.display->InjectFault({FaultKind::Silent});
        Button(Form5, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText().count(QLatin1Char('\n')), 1);
    }

    // ---- the focus after a validation message

    void aRefusedFieldHasTheFocusAndItsTextSelected_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("alarm value, row IV") << "Form4" << "Edit12" << "1,2.3" << "Error of the alarm value";
        QTest::newRow("digits, row III") << "Form4" << "Edit3" << "21" << "Error of the number of digits";
        QTest::newRow("night level") << "Form6" << "Edit2" << "101" << "Error: Brightness for the night";
        QTest::newRow("review period") << "Form8" << "Edit5" << "61" << "Error parameters of the devices added";
        QTest::newRow("basic address") << "Form8" << "Edit3" << "70000" << "Error parameters of the devices added";
        QTest::newRow("number of registers") << "Form8" << "Edit4" << "x" << "Error: Number of registers";
        QTest::newRow("time-out") << "Form8" << "Edit1" << "abc" << "Error: Time Out";
        QTest::newRow("point II of input II") << "Form9" << "Edit8" << "four" << "Error of the recalibration coefficient";
        QTest::newRow("new address") << "Form3" << "Edit1" << "248" << "Error of the address";
    }

    void aRefusedFieldHasTheFocusAndItsTextSelected()
    {
        QFETCH(QString, window);
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, message);
        TForm* form = window == QLatin1String("Form4")   ? static_cast<TForm*>(Form4)
                      : window == QLatin1String("Form6") ? static_cast<TForm*>(Form6)
                      : window == QLatin1String("Form8") ? static_cast<TForm*>(Form8)
                      : window == QLatin1String("Form9") ? static_cast<TForm*>(Form9)
                                                         : static_cast<TForm*>(Form3);
        form->show();
        if (form == Form4)
            for (const char* digits : {"Edit1", "Edit2", "Edit3", "Edit4"})
                LineEdit(Form4, digits)->setText(QStringLiteral("1"));
        if (form == Form8) {
            QTreeWidget* tree = Form8->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
            tree->setCurrentItem(tree->topLevelItem(1));
            for (const char* name : {"Edit2", "Edit3", "Edit4", "Edit5"})
                LineEdit(Form8, name)->setText(QStringLiteral("1"));
            LineEdit(Form8, "Edit1")->setText(QStringLiteral("1000"));
        }
        QLineEdit* refused = LineEdit(form, qPrintable(field));
        refused->setText(text);
        const char* write = form == Form4 || form == Form6 || form == Form3 ? "SpeedButton1" : "SpeedButton2";
        Button(form, write)->setFocus();
        fx.messages->shown.clear();
        Button(form, write)->click();
        QCOMPARE(fx.messages->LastText(), message);
        QCOMPARE(form->focusWidget(), refused);
        QCOMPARE(refused->selectedText(), text);
        QVERIFY(fx.TakeFrames().empty());
    }

    void equalIndicatedValuesFocusTheSecond()
    {
        Form9->show();
        LineEdit(Form9, "Edit5")->setText(QStringLiteral("4"));
        LineEdit(Form9, "Edit7")->setText(QStringLiteral("4"));
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.first().text, QStringLiteral("Error of the recalibration coefficient"));
        QCOMPARE(Form9->focusWidget(), LineEdit(Form9, "Edit7"));
    }

    // Moving in the tree goes ahead after a refusal: the tree keeps the focus.
    void aMoveInTheTreeKeepsTheFocusThere()
    {
        QTreeWidget* tree = Form8->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
        Form8->show();
        tree->setCurrentItem(tree->topLevelItem(2));
        LineEdit(Form8, "Edit2")->setText(QStringLiteral("248"));
        tree->setFocus();
        fx.messages->shown.clear();
        tree->setCurrentItem(tree->topLevelItem(3));
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error parameters of the devices added"));
        QCOMPARE(Form8->focusWidget(), tree);
        QCOMPARE(Form8->SelectedDevice(), 3);
    }
};

QTEST_MAIN(MessagesTest)
#include "tst_messages.moc"
