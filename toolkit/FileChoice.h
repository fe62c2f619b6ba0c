// Every file the user picks goes through ChooseFile: the desktop's file
// dialog, modal, starting in the folder of the last file chosen during this
// run (the home folder at first); nothing of it is kept after the run. Tests
// replace the dialog with a hook that answers at once.
#pragma once

#include <QString>

#include <functional>

enum class FileUse { Open, Save };

struct FileRequest {
    FileUse use;
    QString caption;
    QString start;   // the folder the dialog begins in; for Save, with the name suggested
    QString filter;  // "Profiles (*.json)"
};

// The path of the file chosen, or empty when the user cancelled. A name
// saved without a suffix takes `defaultSuffix`. A whole path as
// `suggestedName` starts the dialog at that file, in its folder.
QString ChooseFile(FileUse use, const QString& caption, const QString& filter,
                   const QString& suggestedName = QString(), const QString& defaultSuffix = QString());

// While set, the hook answers in place of the dialog (no modal loop runs).
using FileChoiceHook = std::function<QString(const FileRequest&)>;
void SetFileChoiceHook(FileChoiceHook hook);
