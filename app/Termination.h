// The ways out of the program besides its main window: a signal such as
// SIGTERM or SIGINT ends the message loop like closing the window does, so
// the program closes its port on the way out. One file per OS, chosen by CMake.
#pragma once

class QCoreApplication;

// From now on the termination signals this OS sends quit `application`.
void QuitOnTerminationSignals(QCoreApplication& application);
