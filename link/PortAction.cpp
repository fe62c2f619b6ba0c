#include "PortAction.h"

#include "MessageBox.h"
#include "Modbus.h"

bool TryOpenPort(OpenWhen when)
{
    if (when == OpenWhen::Always || !Settings.portOpen)
        Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex);
    return Settings.portOpen != 0;
}

bool OpenPortForAction(OpenWhen when)
{
    if (TryOpenPort(when))
        return true;
    ShowMessageBox(PortOpenFailure(), QStringLiteral("Error"), MessageIcon::Error);
    return false;
}

QString PortOpenFailure()
{
    QString port = QStringLiteral("COM %1").arg(Settings.portIndex + 1);
    QString device = QString::fromStdString(Link.LastOpenDevice());
    if (device.isEmpty())
        return QStringLiteral("Cannot open %1: no serial device stands behind it").arg(port);
    return QStringLiteral("Cannot open %1 (%2): %3")
        .arg(port, device, QString::fromStdString(serial::ErrorText(Link.LastOpenError())));
}
