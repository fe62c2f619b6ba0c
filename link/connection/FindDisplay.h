#pragma once

#include "DisplaySearch.h"
#include "TForm.h"
#include "Worker.h"

#include <memory>
#include <optional>
#include <vector>

namespace Ui {
class TFormFindDisplay;
}

// Searches one port for displays while showing what is being tried, lists
// those that answered and gives back the one the user chooses. The probes run
// on a thread of their own that alone holds the port until the search ends;
// the window stays responsive meanwhile.
class TFormFindDisplay : public TForm {
    Q_OBJECT
public:
    TFormFindDisplay();
    ~TFormFindDisplay() override;

    // Searches port `portIndex` in `order` with the window shown modally. The
    // display chosen, or nothing when the user cancelled or chose none. A port
    // that cannot be opened is reported before the window shows.
    std::optional<FoundDisplay> Find(std::uint8_t portIndex, std::vector<ProbeTarget> order);

    Ui::TFormFindDisplay* ui;

public slots:
    void FormClose();
    void ButtonUseClick();
    void ButtonCancelClick();

private:
    // What the probing thread tells the window after each probe.
    struct Progress {
        DisplaySearch::Step step;
        std::size_t tried;
        std::optional<ProbeTarget> upcoming;
        std::optional<FoundDisplay> found;
    };
    void StartProbing();
    // Ends the probing thread within one probe and closes the port.
    void StopSearch();
    void ShowProgress(const Progress& progress);
    void ShowEnd(DisplaySearch::Step step);

    std::uint8_t portIndex_ = 0;
    std::unique_ptr<DisplaySearch> search_;
    Worker probing_;
    std::vector<FoundDisplay> listed_;
    std::optional<FoundDisplay> chosen_;
};

extern TFormFindDisplay* FormFindDisplay;
