// The window base: handlers bound by name, the show and close handlers, and
// the general error report catching what a handler throws.
#include "Clock.h"
#include "Convert.h"
#include "ErrorReport.h"
#include "MessageRecorder.h"
#include "TForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

class ProbeForm : public TForm {
    Q_OBJECT
public:
    QStringList calls;
    QToolButton* button;
    QLabel* label;
    QGroupBox* group;
    QTreeWidget* tree;
    QTimer* timer;

    ProbeForm()
    {
        auto* layout = new QVBoxLayout(this);
        button = new QToolButton(this);
        button->setObjectName(QStringLiteral("SpeedButton1"));
        label = new QLabel(QStringLiteral("link"), this);
        label->setObjectName(QStringLiteral("Label5"));
        group = new QGroupBox(this);
        group->setObjectName(QStringLiteral("GroupBox2"));
        tree = new QTreeWidget(this);
        tree->setObjectName(QStringLiteral("TreeView1"));
        tree->addTopLevelItems({new QTreeWidgetItem({QStringLiteral("a")}), new QTreeWidgetItem({QStringLiteral("b")})});
        for (QWidget* w : {static_cast<QWidget*>(button), static_cast<QWidget*>(label),
                           static_cast<QWidget*>(group), static_cast<QWidget*>(tree)})
            layout->addWidget(w);
        SetUp(Border::Dialog, Placement::ScreenCenter);
        timer = AddTimer("Timer1", 10, false);
    }

public slots:
    void FormCreate() { calls << QStringLiteral("create"); }
    void FormShow() { calls << QStringLiteral("show:%1").arg(isVisible()); }
    void FormClose() { calls << QStringLiteral("close"); }
    void SpeedButton1Click()
    {
        calls << QStringLiteral("click");
        StrToInt(QStringLiteral("x1"));  // throws
    }
    void Label5Click() { calls << QStringLiteral("label"); }
    void GroupBox2DblClick() { calls << QStringLiteral("dblclick"); }
    void TreeView1Change(QTreeWidgetItem* node) { calls << QStringLiteral("change:") + node->text(0); }
    void Timer1Timer()
    {
        timer->stop();
        calls << QStringLiteral("tick");
    }
};

class ToolkitTest : public QObject {
    Q_OBJECT
    ProbeForm* form = nullptr;

private slots:
    void initTestCase()
    {
        SetApplicationTitle(QStringLiteral("VT Verozorivira"));
        CreateForm(form);
    }
    void init() { form->calls.clear(); }

    void creationRunsFormCreateOnce()
    {
        ProbeForm* other = nullptr;
        CreateForm(other);
        QCOMPARE(other->calls, QStringList {QStringLiteral("create")});
        other->show();
        other->close();
        other->show();
        QCOMPARE(other->calls.count(QStringLiteral("create")), 1);
        QVERIFY(other->CreationIndex() > form->CreationIndex());
        delete other;
    }

    void showingRunsFormShowFirstAndClosingFormClose()
    {
        form->show();
        QCOMPARE(form->calls, QStringList {QStringLiteral("show:0")});
        QTest::keyClick(form, Qt::Key_Escape);
        QVERIFY(!form->isVisible());
        form->show();
        form->close();  // the title bar's close box
        QCOMPARE(form->calls, (QStringList {QStringLiteral("show:0"), QStringLiteral("close"),
                                            QStringLiteral("show:0"), QStringLiteral("close")}));
    }

    void dialogsHaveNoMinimiseOrMaximise()
    {
        QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(form->windowFlags() & Qt::WindowCloseButtonHint);
    }

    void handlersAreBoundByName()
    {
        MessageRecorder messages;
        form->show();
        QTest::mouseClick(form->label, Qt::LeftButton);
        QTest::mouseDClick(form->group, Qt::LeftButton);
        form->tree->setCurrentItem(form->tree->topLevelItem(1));
        form->timer->start();
        QTRY_VERIFY(form->calls.contains(QStringLiteral("tick")));
        QVERIFY(form->calls.contains(QStringLiteral("label")));
        QVERIFY(form->calls.contains(QStringLiteral("dblclick")));
        QVERIFY(form->calls.contains(QStringLiteral("change:b")));
        form->close();
    }

    void aThrowingHandlerIsReportedAndTheWindowStaysUsable()
    {
        MessageRecorder messages;
        form->show();
        form->button->click();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QStringLiteral("VT Verozorivira"));
        QCOMPARE(messages.shown[0].text, QStringLiteral("'x1' is not a valid integer value"));
        QCOMPARE(messages.shown[0].icon, MessageIcon::Error);
        QVERIFY(form->isVisible());
        form->button->click();
        QCOMPARE(form->calls.count(QStringLiteral("click")), 2);
        QCOMPARE(messages.shown.size(), 2);
        form->close();
    }

    void theClockAndPausesCanBeSet()
    {
        struct FixedClock : SystemClock {
            QDateTime now {QDate(2007, 12, 24), QTime(14, 5, 59)};
            int slept = 0;
            QDateTime Now() const override { return now; }
            void Sleep(int milliseconds) override { slept += milliseconds; }
        } fixed;
        SetClock(&fixed);
        Pause(200);
        const QDate date = Date();
        const QTime time = Time();
        SetClock(nullptr);
        QCOMPARE(date, QDate(2007, 12, 24));
        QCOMPARE(time, QTime(14, 5, 59));
        QCOMPARE(fixed.slept, 200);
        QVERIFY(Date() != QDate(2007, 12, 24) || Time() != QTime(14, 5, 59));  // the real one is back
    }

    void messageBoxesCanBeAnswered()
    {
        MessageRecorder messages;
        messages.answer = kChoiceCancel;
        QCOMPARE(ShowMessageBox(QStringLiteral("Write new parameters to diplay."), QString(), MessageIcon::Question,
                                MessageButtons::OkCancel),
                 kChoiceCancel);
        QCOMPARE(messages.shown[0].buttons, MessageButtons::OkCancel);
        QCOMPARE(messages.shown[0].icon, MessageIcon::Question);
    }
};

QTEST_MAIN(ToolkitTest)
#include "tst_toolkit.moc"
