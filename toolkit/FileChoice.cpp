#include "FileChoice.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace {

FileChoiceHook& Hook()
{
    static FileChoiceHook hook;
    return hook;
}

// One dialog for the whole run, never destroyed: Qt's file dialog writes
// its folder and history into the desktop's shared Qt settings when it is
// destroyed, and the tool keeps nothing between runs.
QFileDialog& Dialog()
{
    static QFileDialog* dialog = new QFileDialog;
    return *dialog;
}

// The folder of the last file chosen, for this run only.
QString& LastFolder()
{
    static QString folder = QDir::homePath();
    return folder;
}

}  // namespace

void SetFileChoiceHook(FileChoiceHook hook)
{
    Hook() = std::move(hook);
}

QString ChooseFile(FileUse use, const QString& caption, const QString& filter,
                   const QString& suggestedName, const QString& defaultSuffix)
{
    const FileRequest request {use, caption,
                               suggestedName.isEmpty() ? LastFolder() : QDir(LastFolder()).filePath(suggestedName),
                               filter};
    QString chosen;
    if (Hook()) {
        chosen = Hook()(request);
    } else {
        QFileDialog& dialog = Dialog();
        dialog.setWindowTitle(caption);
        dialog.setDirectory(LastFolder());
        dialog.setNameFilter(filter);
        dialog.setAcceptMode(use == FileUse::Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(use == FileUse::Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        dialog.setDefaultSuffix(defaultSuffix);
        dialog.selectFile(suggestedName);
        // The one dialog keeps the name its last use took: a use with no
        // name of its own starts with none, not another action's file.
        if (suggestedName.isEmpty())
            if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->clear();
        const bool accepted = dialog.exec() == QDialog::Accepted;
        // The name completer's popup is a window of its own: after Enter it
        // could outlast the dialog and take the next click meant for the
        // window beneath.
        for (QCompleter* completer : dialog.findChildren<QCompleter*>())
            if (completer->popup())
                completer->popup()->hide();
        if (accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().constFirst();
    }
    if (!chosen.isEmpty())
        LastFolder() = QFileInfo(chosen).absolutePath();
    return chosen;
}
