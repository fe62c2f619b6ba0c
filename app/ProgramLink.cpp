#include "ProgramLink.h"

#include "PortList.h"

ConnectionSettings Settings;
RegisterImage Image;
ModbusLink Link(Settings, Image);

void ResetLink()
{
    Link.Reset();
    Settings = ConnectionSettings {};
    Image.Clear();
    ForgetPorts();
}
