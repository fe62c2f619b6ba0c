// Windows ends a desktop program through its windows (closing them at log
// off or from the task manager), which ends the message loop: nothing to add.
#include "Termination.h"

void QuitOnTerminationSignals(QCoreApplication&)
{
}
