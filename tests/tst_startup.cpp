// Start-up and the main window: ten windows in order, the start values, and
// nine buttons each opening its window modally.
#include "Main.h"
#include "Modbus.h"
#include "ProgramLink.h"
#include "Startup.h"

#include "Czas.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "PanelProfiles.h"
#include "Status.h"
#include "Uart.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "Zmiana.h"

#include <QAccessible>
#include <QApplication>
#include <QRegularExpression>
#include <QWindow>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { CreateForms(); }

    void tenWindowsInOrderWithTheirCaptions()
    {
        const QList<QPair<TForm*, QString>> windows = {
            {Form1, QStringLiteral("VT5-RQ8")},
            {Form2, QStringLiteral("Connection configuration")},
            {Form3, QStringLiteral("Connection changes")},
            {Form4, QStringLiteral("Display configuration")},
            {Form5, QStringLiteral("Time / Date")},
            {Form6, QStringLiteral("Brightness configuration")},
            {Form7, QStringLiteral("Status")},
            {Form8, QStringLiteral("Configuration of added devices")},
            {Form9, QStringLiteral("Recalibration coefficient")},
            {Form10, QStringLiteral("Form10")}};
        for (int k = 0; k < windows.size(); ++k) {
            QVERIFY(windows[k].first);
            QCOMPARE(windows[k].first->windowTitle(), windows[k].second);
            QCOMPARE(windows[k].first->CreationIndex(), windows[0].first->CreationIndex() + k);
        }
        QVERIFY(Form10->windowFlags() & Qt::FramelessWindowHint);
    }

    void everyFieldHasANameOfItsOwn()
    {
        // What a screen reader says for each edit, list, picker and tree:
        // never nothing, never the same twice in one window.
        static const QRegularExpression field(
            QStringLiteral("^(Edit|ComboBox|DateTimePicker|MonthCalendar|TreeView)\\d+$"));
        for (TForm* form : {static_cast<TForm*>(Form2), static_cast<TForm*>(Form3), static_cast<TForm*>(Form4),
                            static_cast<TForm*>(Form5), static_cast<TForm*>(Form6), static_cast<TForm*>(Form8),
                            static_cast<TForm*>(Form9)}) {
            QSet<QString> names;
            int fields = 0;
            for (QWidget* widget : form->findChildren<QWidget*>()) {
                if (!field.match(widget->objectName()).hasMatch())
                    continue;
                ++fields;
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
                QVERIFY(accessible);
                const QString name = accessible->text(QAccessible::Name);
                const QString where = form->windowTitle() + QLatin1Char(' ') + widget->objectName();
                QVERIFY2(!name.isEmpty(), qPrintable(where));
                QVERIFY2(!names.contains(name), qPrintable(where + QStringLiteral(": ") + name));
                names.insert(name);
            }
            QVERIFY2(fields > 0, qPrintable(form->windowTitle()));
        }
    }

    void dialogsOfferNoMinimise()
    {
        for (TForm* form : {static_cast<TForm*>(Form2), static_cast<TForm*>(Form4), static_cast<TForm*>(Form7)}) {
            QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
            QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        }
        // Shown, a dialog belongs to the main window, which the window
        // manager then minimises and restores with it.
        QTimer::singleShot(0, Form7, [] {
            QVERIFY(Form7->windowHandle());
            QCOMPARE(Form7->windowHandle()->transientParent(), Form1->windowHandle());
            Form7->close();
        });
        Form7->ShowModal();
    }

    void startValues()
    {
        QCOMPARE(Image.Get(4000), 1u);
        QCOMPARE(Image.Get(4001), 1u);
        QCOMPARE(Image.Get(4002), 2u);
        QCOMPARE(int(Settings.portIndex), 0);
        QCOMPARE(int(Settings.modeIndex), 1);
        QCOMPARE(int(Settings.rateIndex), 2);
        QCOMPARE(int(Settings.displayAddress), 1);
        QCOMPARE(int(Settings.portOpen), 0);  // nothing is opened at start-up
    }

    void mainWindowButtons()
    {
        QVERIFY(!(Form1->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(Form1->windowFlags() & Qt::WindowMinimizeButtonHint);
        Form1->show();
        QTest::keyClick(Form1, Qt::Key_Escape);  // would end the program
        QVERIFY(Form1->isVisible());
        const QStringList expected = {
            QStringLiteral("SpeedButton4|Connection configuration            "),
            QStringLiteral("SpeedButton1|Display configuration                  "),
            QStringLiteral("SpeedButton2|Time / Date                               "),
            QStringLiteral("SpeedButton3|Brightness                                 "),
            QStringLiteral("SpeedButton5|Show the status                        "),
            QStringLiteral("SpeedButton6|Added devices                         "),
            QStringLiteral("SpeedButton7|Recalibrating coefficient           "),
            QStringLiteral("SpeedButton8|Information                               "),
            QStringLiteral("SpeedButton9|Panel profiles                            ")};
        QStringList found;
        QLayout* column = Form1->layout();
        for (int k = 0; k < column->count(); ++k)
            if (auto* button = qobject_cast<QToolButton*>(column->itemAt(k)->widget())) {
                found << button->objectName() + QLatin1Char('|') + button->text();
                QVERIFY(button->autoRaise());
                QVERIFY(!button->icon().isNull());
                QVERIFY(button->toolTip().isEmpty());
            }
        QCOMPARE(found, expected);
    }

    void eachButtonOpensItsWindowModally_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<TForm*>("window");
        QTest::newRow("connection") << QStringLiteral("SpeedButton4") << static_cast<TForm*>(Form2);
        QTest::newRow("display") << QStringLiteral("SpeedButton1") << static_cast<TForm*>(Form4);
        QTest::newRow("clock") << QStringLiteral("SpeedButton2") << static_cast<TForm*>(Form5);
        QTest::newRow("brightness") << QStringLiteral("SpeedButton3") << static_cast<TForm*>(Form6);
        QTest::newRow("status") << QStringLiteral("SpeedButton5") << static_cast<TForm*>(Form7);
        QTest::newRow("devices") << QStringLiteral("SpeedButton6") << static_cast<TForm*>(Form8);
        QTest::newRow("recalibration") << QStringLiteral("SpeedButton7") << static_cast<TForm*>(Form9);
        QTest::newRow("information") << QStringLiteral("SpeedButton8") << static_cast<TForm*>(Form10);
        QTest::newRow("panel profiles") << QStringLiteral("SpeedButton9") << static_cast<TForm*>(FormPanelProfiles);
    }

    void eachButtonOpensItsWindowModally()
    {
        QFETCH(QString, button);
        QFETCH(TForm*, window);
        Form1->show();
        QWidget* modal = nullptr;
        // Runs inside the window's modal loop, then closes it.
        QTimer::singleShot(0, window, [&] {
            modal = QApplication::activeModalWidget();
            window->close();
        });
        Form1->findChild<QToolButton*>(button)->click();
        QCOMPARE(modal, static_cast<QWidget*>(window));
        QVERIFY(!window->isVisible());
        QVERIFY(Form1->isVisible());
        QVERIFY(!Settings.portOpen);  // no button opens the port by itself
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
