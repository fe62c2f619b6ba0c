#include "Czas.h"

#include "Clock.h"
#include "ClockRegisters.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_Czas.h"

#include <QTimer>

#include <algorithm>

TForm5* Form5 = nullptr;

namespace {

constexpr unsigned kWritePauseMs = 500;
constexpr unsigned kReadPauseMs = 1000;
constexpr unsigned kYear = Blocks::Clock.first, kMonthDay = kYear + 1, kHoursMinutes = kYear + 2;

}  // namespace

TForm5::TForm5() : ui(Design<Ui::TForm5>(Border::Dialog, Placement::ScreenCenter))
{
    Timer1 = AddTimer("Timer1", 1000, false);
}

void TForm5::FormShow()
{
    ui->MonthCalendar1->setSelectedDate(Date());
    ui->DateTimePicker1->setTime(Time());
}

void TForm5::StoreClock()
{
    const QDate date = ui->MonthCalendar1->selectedDate();
    Image.Set(kYear, std::uint32_t(date.year()));
    Image.Set(kMonthDay, MonthDayRegister(date));
    Image.Set(kHoursMinutes, TimeRegister(ui->DateTimePicker1->time()));
}

void TForm5::SendClock()
{
    WriteBlockAndTell(Blocks::Clock, kWritePauseMs);
}

void TForm5::ShowClock()
{
    // Each control on its own: a time that is set stays when the date fails.
    ui->DateTimePicker1->setTime(RegisterTime(Image.Get(kHoursMinutes)));
    ui->MonthCalendar1->setSelectedDate(RegisterDate(Image.Get(kYear), Image.Get(kMonthDay)));
}

void TForm5::SpeedButton1Click()
{
    StoreClock();
    if (OpenPortForAction(OpenWhen::IfClosed))
        SendClock();
}

void TForm5::SpeedButton2Click()
{
    // A refused reply leaves the image as it was, and the controls show it.
    if (OpenPortForAction(OpenWhen::IfClosed) && RefillsControls(ReadBlockAndTell(Blocks::Clock, kReadPauseMs)))
        ShowClock();
}

void TForm5::SpeedButton3Click()
{
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return;
    // The next whole minute of the PC clock; pressed again, armed anew.
    const QDateTime now = Now();
    armedAt_ = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute())).addSecs(60);
    Timer1->setInterval((60 - now.time().second()) * 1000);
    Timer1->start();
    ui->LabelSynchronising->setText(QStringLiteral("Synchronising at %1").arg(ArmedMinuteText()));
}

QString TForm5::ArmedMinuteText() const
{
    return armedAt_.time().toString(QStringLiteral("HH:mm"));
}

void TForm5::ShowPcMinute()
{
    // The display's clock counts whole minutes: the minute that has just
    // begun, never the one before, should the timer fire a hair early.
    const QDateTime now = Now();
    const QDateTime minute = std::max(armedAt_, QDateTime(now.date(), QTime(now.time().hour(), now.time().minute())));
    ui->MonthCalendar1->setSelectedDate(minute.date());
    ui->DateTimePicker1->setTime(minute.time());
}

void TForm5::Timer1Timer()
{
    // Off first: a message box below runs the event loop, and the timer must
    // not fire into it a second time.
    Timer1->stop();
    ui->LabelSynchronising->clear();
    // While another action or a search holds the port the clock waits for
    // it, and is written once it is free: never between two of its frames.
    WhenPortFree([this] {
        // Its messages come over whatever window is open now: they say whence.
        const MessageOrigin origin(
            QStringLiteral("From the clock's synchronisation armed for %1.").arg(ArmedMinuteText()));
        // The PC's time at the minute, not what the controls showed when it was armed.
        ShowPcMinute();
        StoreClock();
        // Another window may have closed the port since "Synchronize".
        if (OpenPortForAction(OpenWhen::IfClosed))
            SendClock();
    });
}
