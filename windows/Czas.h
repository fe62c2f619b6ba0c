#pragma once

#include "TForm.h"

#include <QDateTime>
#include <QString>

class QTimer;

namespace Ui {
class TForm5;
}

// The display's clock (4022..4024): set from a calendar and a time picker,
// at once or, to the PC's own time, at its next whole minute, and read back.
class TForm5 : public TForm {
    Q_OBJECT
public:
    TForm5();

    // The two controls into the image.
    void StoreClock();
    // The image's clock to the display; tells the user when it did not take it.
    void SendClock();
    // The image's clock into the two controls.
    void ShowClock();

    Ui::TForm5* ui;
    QTimer* Timer1;

private:
    // "14:07": the minute armed, as the window and the messages name it.
    QString ArmedMinuteText() const;
    // The PC's date and time of the minute armed into the two controls.
    void ShowPcMinute();

    // The whole minute the synchronisation was armed for.
    QDateTime armedAt_;

public slots:
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void Timer1Timer();
};

extern TForm5* Form5;
