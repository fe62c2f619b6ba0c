#include "FindDisplay.h"

#include "MessageBox.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_FindDisplay.h"

TFormFindDisplay* FormFindDisplay = nullptr;

namespace {

QString Describe(const FoundDisplay& found)
{
    QString text = QStringLiteral("Address %1 at %2")
                       .arg(found.address)
                       .arg(LineName(found.line));
    if (found.exceptionCode)
        text += QStringLiteral(" (refused the probe with exception %1)").arg(found.exceptionCode);
    return text;
}

// " The port does not run at 38400 8n1, 38400 8n2: not searched." or nothing.
QString SkippedLinesNote(const std::vector<SerialLine>& skipped)
{
    if (skipped.empty())
        return {};
    QStringList lines;
    for (const SerialLine& line : skipped)
        lines << LineName(line);
    return QStringLiteral(" The port does not run at %1: not searched.").arg(lines.join(QStringLiteral(", ")));
}

// The search's notes at its end, each a sentence: " The gateway took ..." or nothing.
QString EndNotes(const DisplaySearch& search)
{
    QString text;
    for (const std::string& note : search.EndNotes()) {
        QString sentence = QString::fromStdString(note);
        sentence[0] = sentence[0].toUpper();
        text += QStringLiteral(" ") + sentence + QStringLiteral(".");
    }
    return text;
}

}  // namespace

TFormFindDisplay::TFormFindDisplay() : ui(Design<Ui::TFormFindDisplay>(Border::Dialog, Placement::ScreenCenter))
{
    connect(ui->ListFound, &QListWidget::itemSelectionChanged, this,
            [this] { ui->ButtonUse->setEnabled(!ui->ListFound->selectedItems().isEmpty()); });
    connect(ui->ListFound, &QListWidget::itemActivated, this, [this] { Invoke("ButtonUseClick"); });
}

TFormFindDisplay::~TFormFindDisplay()
{
    StopSearch();
}

std::optional<FoundDisplay> TFormFindDisplay::Find(std::uint8_t portIndex, std::vector<ProbeTarget> order)
{
    // The search needs the port to itself; the windows open it again when
    // they next need it, and what comes due meanwhile waits for the search.
    PortOwner owner;
    Link.ClosePort();
    portIndex_ = portIndex;
    search_ = std::make_unique<DisplaySearch>(portIndex, std::move(order));
    // The probes reach the frame trace as the program's own frames do.
    search_->SetFrameObserver(Link.Observer());
    bool opened;
    {
        ConnectWatch watch(search_->link());
        opened = search_->Open();
    }
    if (!opened) {
        ShowPortOpenFailure(search_->link(), portIndex);
        search_.reset();
        return std::nullopt;
    }
    listed_.clear();
    chosen_.reset();
    ui->ListFound->clear();
    ui->ButtonUse->setEnabled(false);
    ui->ButtonCancel->setText(QStringLiteral("Cancel"));
    ui->ProgressBar->setRange(0, int(search_->Total()));
    ui->ProgressBar->setValue(0);
    ShowProgress({DisplaySearch::Step::Probed, 0, search_->Upcoming(), std::nullopt});
    StartProbing();
    ShowModal();
    StopSearch();
    return chosen_;
}

void TFormFindDisplay::StartProbing()
{
    probing_.Start([this, search = search_.get()] {
        while (!probing_.Cancelled()) {
            Progress progress {search->Next(), 0, std::nullopt, std::nullopt};
            progress.tried = search->Tried();
            progress.upcoming = search->Upcoming();
            if (progress.step == DisplaySearch::Step::Found)
                progress.found = search->Found().back();
            const DisplaySearch::Step step = progress.step;
            probing_.Report([this, progress] { ShowProgress(progress); });
            if (DisplaySearch::Ends(step))
                return;
        }
    });
}

void TFormFindDisplay::StopSearch()
{
    // What the thread reported before it ended and is still queued is stale now.
    probing_.Stop();
    if (search_)
        search_->Close();
}

void TFormFindDisplay::ShowProgress(const Progress& progress)
{
    ui->ProgressBar->setValue(int(progress.tried));
    if (progress.found) {
        listed_.push_back(*progress.found);
        ui->ListFound->addItem(Describe(*progress.found));
        if (ui->ListFound->selectedItems().isEmpty())
            ui->ListFound->setCurrentRow(0);
    }
    if (progress.upcoming)
        ui->LabelTrying->setText(QStringLiteral("Trying address %1 at %2 on %3")
                                     .arg(progress.upcoming->address)
                                     .arg(LineName(progress.upcoming->line), PortName(portIndex_)));
    if (DisplaySearch::Ends(progress.step))
        ShowEnd(progress.step);
}

void TFormFindDisplay::ShowEnd(DisplaySearch::Step step)
{
    // The probing thread has ended or is about to.
    StopSearch();
    ui->ButtonCancel->setText(QStringLiteral("Close"));
    switch (step) {
    case DisplaySearch::Step::Finished:
        ui->ProgressBar->setValue(ui->ProgressBar->maximum());
        ui->LabelTrying->setText((listed_.empty()
                                      ? QStringLiteral("No display answered on %1.").arg(PortName(portIndex_))
                                      : QStringLiteral("The search of %1 is finished.").arg(PortName(portIndex_)))
                                 + SkippedLinesNote(search_->SkippedLines()) + EndNotes(*search_));
        break;
    case DisplaySearch::Step::OpenFailed:
        ui->LabelTrying->setText(QStringLiteral("The search of %1 stopped.").arg(PortName(portIndex_)));
        ShowPortOpenFailure(search_->link(), portIndex_);
        break;
    case DisplaySearch::Step::PortLost:
        ui->LabelTrying->setText(QStringLiteral("The search of %1 stopped.").arg(PortName(portIndex_)));
        ShowError(PortLostMessage(search_->link(), portIndex_));
        break;
    case DisplaySearch::Step::Probed:
    case DisplaySearch::Step::Found:
    case DisplaySearch::Step::LineSkipped: break;
    }
}

void TFormFindDisplay::FormClose()
{
    StopSearch();
}

void TFormFindDisplay::ButtonUseClick()
{
    const int row = ui->ListFound->currentRow();
    if (row < 0 || row >= int(listed_.size()))
        return;
    chosen_ = listed_[std::size_t(row)];
    Close();
}

void TFormFindDisplay::ButtonCancelClick()
{
    chosen_.reset();
    Close();
}
