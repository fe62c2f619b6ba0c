#pragma once

#include "PortAction.h"
#include "TForm.h"
#include "Transfer.h"
#include "Worker.h"

#include <QString>

#include <cstdint>
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
// "Cancel" answers meanwhile; what is read or written goes into the image.
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
    void FormClose();
    void ButtonSaveClick();
    void ButtonCompareClick();
    void ButtonWriteClick();
    void ButtonCopyClick();
    void ButtonCancelClick();
    void ButtonCloseClick();

private:
    // A profile chosen by the user and loaded, or nothing once the user
    // cancelled or was told why the file is refused.
    std::optional<profile::Profile> ChooseProfile(const QString& caption);
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
    // Ends the action: the worker stopped, what its line read or wrote
    // copied into the image, the port let go.
    void Finish();
    void SetBusy(bool busy, unsigned steps = 0);
    void ClearResults();
    // The table, under a caption that says what it compares.
    void ShowDifferences(const std::vector<profile::Difference>& differences, const QString& caption);
    void ShowResult(const QString& text);
    // A read that failed: why, in an "Error" box, and under the buttons.
    void TellReadFailure(const QString& headline, const std::vector<std::string>& problems);

    void Saved(profile::Outcome outcome, const profile::Profile& read, const std::vector<std::string>& problems,
               std::uint8_t address);
    void Compared(profile::Outcome outcome, const std::vector<profile::Difference>& differences,
                  const std::vector<std::string>& problems);
    void Previewed(profile::Outcome outcome, const std::vector<profile::Difference>& differences,
                   const std::vector<std::string>& problems);
    void StartWrite();
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
    QString portLost_;  // why the port went away under the action, if it did
    QString shownConnection_;  // the connection the window showed when last opened
};

extern TFormPanelProfiles* FormPanelProfiles;
