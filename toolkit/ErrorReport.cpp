#include "ErrorReport.h"

#include "MessageBox.h"

#include <QCoreApplication>

namespace {

QString& Title()
{
    static QString title;
    return title;
}

}  // namespace

QString ApplicationTitle()
{
    return Title();
}

void SetApplicationTitle(const QString& title)
{
    Title() = title;
    QCoreApplication::setApplicationName(title);
}

void ReportException(const std::exception& error)
{
    ShowMessageBox(QString::fromUtf8(error.what()), ApplicationTitle(), MessageIcon::Error);
}

void RunGuarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& error) {
        ReportException(error);
    } catch (...) {
        ShowMessageBox(QString(), ApplicationTitle(), MessageIcon::Error);
    }
}
