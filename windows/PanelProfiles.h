#pragma once

#include "PortAction.h"
#include "TForm.h"
#include "Record.h"
#include "Transfer.h"
#include "FileChoice.h"
#include "Worker.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace Ui {
class TFormPanelProfiles;
}

// Commissioning many panels without a terminal: the display's settings into
// a profile file, a display compared with a file, and a file written to one
// display or many, each read back. The exchanges run on a thread of their
// own that alone holds the port, so the window repaints, its bar moves and
// "Cancel" answers meanwhile. What the connection's own display holds, as
// read or read back, goes into the image; afterwards the program's link
// holds the port again, as after any other window's action.
class TFormPanelProfiles : public TForm {
    Q_OBJECT
public:
    TFormPanelProfiles();

    // Shows the window modally; whatever it is doing ends with it.
    void Open();
    // Whether an action is under way.
    bool Busy() const { return panel_ != nullptr; }

    Ui::TFormPanelProfiles* ui;

public slots:
    void FormShow();
    void ButtonSaveClick();
    void ButtonCompareClick();
    void ButtonWriteClick();
    void ButtonCopyClick();
    void ButtonCancelClick();
    void ButtonUndoClick();
    void ButtonRecordClick();
    void ButtonCloseClick();

protected:
    // Closing during an action (Escape, the title bar, "Close") is a
    // "Cancel": the window closes once the display in progress is done,
    // and keeps what it listed for when it is opened again.
    void done(int result) override;

private:
    // Each file dialog starts at the file its own action last used.
    enum FileAction { SaveAction, CompareAction, WriteAction, RecordAction, FileActions };
    QString ChooseFileFor(FileAction action, FileUse use, const QString& caption,
                          const QString& suggestedName = QString(), const QString& filter = QString());
    // A profile chosen by the user and loaded, or nothing once the user
    // cancelled or was told why the file is refused.
    std::optional<profile::Profile> ChooseProfile(FileAction action, const QString& caption);
    // Takes the port onto a line of its own and runs `work` on the worker
    // with it; false when the port did not open (the user is told why).
    bool Begin(unsigned steps, std::function<void(profile::PanelLine&)> work);
    // What comes after a compare, on the GUI thread.
    using ComparedStep = void (TFormPanelProfiles::*)(profile::Outcome, const std::vector<profile::Difference>&,
                                                      const std::vector<std::string>&);
    // Compares the display at `address` with `wanted` on the worker, then `then`.
    void CompareOnWorker(std::uint8_t address, const profile::Profile& wanted, ComparedStep then);
    // From the work: one block step made.
    void ReportStep();
    // Ends the action: the worker stopped, what the connection's display
    // holds copied into the image, the port handed back to the program's link.
    void Finish();
    // From the work: what the line's image holds of the connection's own
    // display (read, or read back after a write), for the image at Finish.
    void KeepForImage(const RegisterImage& registers, std::vector<profile::Group> groups, bool written);
    void SetBusy(bool busy, unsigned steps = 0);
    void ClearResults();
    // The table, under a caption that says what it compares.
    void ShowDifferences(const std::vector<profile::Difference>& differences, const QString& caption);
    void ShowResult(const QString& text);
    // After a write: what the read-back found, display by display.
    void ShowWhatWasFound();
    // A read that failed: why, in an "Error" box, and under the buttons.
    void TellReadFailure(const QString& headline, const std::vector<std::string>& problems);

    void Saved(profile::Outcome outcome, const profile::Profile& read, const std::vector<std::string>& problems,
               std::uint8_t address);
    void Compared(profile::Outcome outcome, const std::vector<profile::Difference>& differences,
                  const std::vector<std::string>& problems);
    void Previewed(profile::Outcome outcome, const std::vector<profile::Difference>& differences,
                   const std::vector<std::string>& problems);
    // Writes on the worker: one profile to every display (the file), or
    // one per display (an undo's backups); each display's settings kept
    // first when `backups` is set.
    void StartWrite(std::vector<profile::Profile> profiles, bool backups);
    void DisplayWritten(std::size_t index, const profile::DisplayResult& result);
    void Written();

    Worker worker_;
    std::unique_ptr<profile::PanelLine> panel_;  // the action's own port, while it lasts
    std::optional<PortOwner> owner_;
    bool cancelled_ = false;
    // The write under way: the file, its profile, the displays and how they went.
    QString file_;
    profile::Profile wanted_;
    std::vector<std::uint8_t> addresses_;
    std::vector<profile::DisplayResult> results_;
    std::atomic<std::size_t> listed_ {0};  // displays whose line is in the list, for the worker's pause
    std::string fileBytes_;        // the file chosen, as read, for the record
    // An undo's backups, each written to its own display, for the record.
    std::map<std::uint8_t, profile::WriteSession::Source> undoSources_;
    std::time_t started_ = 0, finished_ = 0;
    std::optional<profile::WriteSession> record_;  // of the last write
    bool undoing_ = false;         // the write under way puts backups back
    // The displays the last write reached and where each one's settings before it are kept.
    std::vector<std::pair<std::uint8_t, std::string>> undoable_;
    // Per display written, the settings its read-back found different from the file.
    std::vector<std::vector<profile::Difference>> found_;
    // What goes into the image when the action ends: the connection's display alone.
    struct ImageKept {
        RegisterImage registers;
        std::vector<profile::Group> groups;
        bool written;  // the blocks written and read back, else those read
    };
    std::optional<ImageKept> kept_;
    bool closeWhenDone_ = false;
    std::array<QString, FileActions> lastFiles_;  // this run only
    QString portLost_;  // why the port went away under the action, if it did
    QString shownConnection_;  // the connection the window showed when last opened
};

extern TFormPanelProfiles* FormPanelProfiles;
