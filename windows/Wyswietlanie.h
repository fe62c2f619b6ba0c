#pragma once

#include "Modbus.h"
#include "TForm.h"

#include <array>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTimer;

namespace Ui {
class TForm4;
}

// What each of the display's four rows shows: digits, format, displayed
// register, and two alarm values with an alarm switch (4006..4021, 7610..7617).
class TForm4 : public TForm {
    Q_OBJECT
public:
    TForm4();

    void ShowConfiguration();
    bool CheckConfiguration();
    // Both blocks into the image: Stored, Rejected when a reply was refused
    // (the other block still read), NoReply or PortLost when the read ended.
    ReadResult FetchConfiguration();
    bool ReadConfiguration();
    void WriteConfiguration();

    Ui::TForm4* ui;
    QTimer* Timer1;
    bool timeOut = false;

public slots:
    void FormCreate();
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void Timer1Timer();

private:
    struct Row {
        QLineEdit* digits;
        QComboBox* format;
        QComboBox* displayedRegister;
        QCheckBox* alarmOn;
        QLineEdit* firstAlarm;
        QLineEdit* secondAlarm;
        unsigned index;            // 0 for row I, which needs a digit
        unsigned firstRegister16;  // digits, format, displayed register, alarm switch
        unsigned firstRegister32;  // first and second alarm value
    };
    std::array<Row, 4> Rows() const;
    bool CheckRow(const Row& row);
    template <typename Step>
    auto Watched(Step step);
    WriteResult SendConfiguration();
};

extern TForm4* Form4;
