// The application's general error report: an exception that escapes an event
// handler is caught where the handler is called and shown, never thrown
// through Qt's event loop.
#pragma once

#include <QString>

#include <exception>
#include <functional>

QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Shows the error in a box captioned with the application title.
void ReportException(const std::exception& error);

// Runs a handler; what it throws is reported and goes no further.
void RunGuarded(const std::function<void()>& handler);
