#pragma once

#include "Modbus.h"
#include "Rules.h"
#include "TForm.h"

class QTimer;
class QTreeWidgetItem;

namespace Ui {
class TForm8;
}

// The display's own polling of up to ten devices: its device line
// (4003..4005) and one table entry of five registers per device (4300..4349).
class TForm8 : public TForm {
    Q_OBJECT
public:
    TForm8();

    static constexpr int kNoDevice = -1;
    static constexpr int kDeviceCount = int(rules::kDeviceCount);

    // Entry `index` (0..9) into the device fields, or blank and disabled
    // fields for any other index.
    void ShowDevice(int index);
    // The device fields into entry `index` when all are in range; false when
    // a field is no integer or out of range (its message shown).
    bool CheckDevice(int index);
    void ShowDeviceLine();
    // The two lists into 4004 and 4005, then the time-out into 4003; false
    // when the time-out is refused.
    bool CheckDeviceLine();
    // Both blocks into the image: Stored, Rejected when a reply was refused
    // (the other block still read), NoReply or PortLost when the read ended.
    ReadResult ReadDeviceSettings();

    int SelectedDevice() const { return selectedDevice_; }

    Ui::TForm8* ui;
    QTimer* Timer1;
    bool timeOut = false;

public slots:
    void FormCreate();
    void FormShow();
    void TreeView1Change(QTreeWidgetItem* node);
    void GroupBox2DblClick();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void Timer1Timer();

private:
    int selectedDevice_ = kNoDevice;
};

extern TForm8* Form8;
