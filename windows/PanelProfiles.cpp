#include "PanelProfiles.h"

#include "Addresses.h"
#include "Clock.h"
#include "FileChoice.h"
#include "MessageBox.h"
#include "ProfileFile.h"
#include "ui_PanelProfiles.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>

TFormPanelProfiles* FormPanelProfiles = nullptr;

namespace {

using profile::Outcome;

const QString kProfileFilter = QStringLiteral("Profiles (*.json);;All files (*)");

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

QString Lines(const std::vector<std::string>& lines)
{
    QStringList joined;
    for (const std::string& line : lines)
        joined << Text(line);
    return joined.join(QLatin1Char('\n'));
}

// The file's path as the C runtime opens it, and back for messages.
std::string LocalPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QString FromLocal(const std::string& text)
{
    return QFile::decodeName(QByteArray::fromStdString(text));
}

// "display-1-2025-03-14.json": which display, and when.
QString SuggestedName(std::uint8_t address)
{
    return QStringLiteral("display-%1-%2.json").arg(address).arg(Date().toString(Qt::ISODate));
}

// "1 setting", "3 settings"
QString SettingCount(std::size_t count)
{
    return count == 1 ? QStringLiteral("1 setting") : QStringLiteral("%1 settings").arg(count);
}

QString DisplayAt(std::uint8_t address)
{
    return QStringLiteral("the display at address %1").arg(address);
}

}  // namespace

TFormPanelProfiles::TFormPanelProfiles()
    : ui(Design<Ui::TFormPanelProfiles>(Border::Dialog, Placement::ScreenCenter))
{
    // Ctrl+C in the table copies it whole, as its button does.
    auto* copy = new QAction(ui->TableDifferences);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this] { Invoke("ButtonCopyClick"); });
    ui->TableDifferences->addAction(copy);
    // The last column takes the room left; the others fit their texts.
    QHeaderView* header = ui->TableDifferences->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(ui->TableDifferences->columnCount() - 1, QHeaderView::Stretch);
}

void TFormPanelProfiles::Open()
{
    ShowModal();
    // Left by the program's end rather than by closing: the action ends too.
    if (Busy()) {
        cancelled_ = true;
        Finish();
    }
}

void TFormPanelProfiles::FormShow()
{
    const QString connection = ConnectionName();
    ui->LabelConnection->setText(connection);
    // The connection's address unless several were typed for writing on this
    // same connection: a list typed for another port or address would write
    // to panels the user no longer has in mind.
    const bool several =
        ParseAddressList(ui->EditAddresses->text().trimmed().toStdString()).value_or(std::vector<std::uint8_t>()).size() > 1;
    if (!several || connection != shownConnection_)
        ui->EditAddresses->setText(QString::number(Settings.displayAddress));
    shownConnection_ = connection;
}

void TFormPanelProfiles::FormClose()
{
    // Closed during an action: it stops after the display in progress.
    if (Busy()) {
        worker_.Cancel();
        cancelled_ = true;
        Finish();
        ShowResult(QStringLiteral("Cancelled."));
    }
}

// ---------------------------------------------------------------- the actions

void TFormPanelProfiles::ButtonSaveClick()
{
    ClearResults();
    const std::uint8_t address = Settings.displayAddress;
    ShowResult(QStringLiteral("Reading the settings of %1…").arg(DisplayAt(address)));
    Begin(profile::Transfer::ReadSteps(), [this, address](profile::PanelLine& line) {
        line.settings.displayAddress = address;
        profile::Transfer transfer(line.link, line.image);
        transfer.SetStepObserver([this] { ReportStep(); });
        profile::Profile read;
        const Outcome outcome = transfer.Read(&read);
        worker_.Report([this, outcome, read, problems = transfer.Problems(), address] {
            Saved(outcome, read, problems, address);
        });
    });
}

void TFormPanelProfiles::Saved(Outcome outcome, const profile::Profile& read, const std::vector<std::string>& problems,
                               std::uint8_t address)
{
    Finish();
    if (outcome != Outcome::Done) {
        TellReadFailure(QStringLiteral("The display at address %1 could not be read; nothing was saved.").arg(address),
                        problems);
        return;
    }
    if (cancelled_) {
        ShowResult(QStringLiteral("Cancelled: nothing was saved."));
        return;
    }
    const QString path = ChooseFile(FileUse::Save, QStringLiteral("Save the display's settings"), kProfileFilter,
                                    SuggestedName(address), QStringLiteral("json"));
    if (path.isEmpty()) {
        ShowResult(QStringLiteral("Read, but not saved."));
        return;
    }
    std::string error;
    if (!SaveProfileFile(LocalPath(path), profile::WriteProfileText(read, VTCONFIG_VERSION), &error)) {
        const QString text = QStringLiteral("The display's settings were not saved: %1").arg(FromLocal(error));
        ShowResult(text);
        ShowError(text);
        return;
    }
    ShowResult(QStringLiteral("The settings of %1 are saved in %2.").arg(DisplayAt(address), QDir::toNativeSeparators(path)));
}

void TFormPanelProfiles::ButtonCompareClick()
{
    ClearResults();
    const std::optional<profile::Profile> wanted = ChooseProfile(QStringLiteral("Compare with a file"));
    if (!wanted)
        return;
    CompareOnWorker(Settings.displayAddress, *wanted, &TFormPanelProfiles::Compared);
}

void TFormPanelProfiles::Compared(Outcome outcome, const std::vector<profile::Difference>& differences,
                                  const std::vector<std::string>& problems)
{
    Finish();
    if (outcome != Outcome::Done) {
        TellReadFailure(QStringLiteral("The display at address %1 could not be read; nothing was compared.")
                            .arg(Settings.displayAddress),
                        problems);
        return;
    }
    ShowDifferences(differences, QStringLiteral("Settings where the display differs from the file"));
    ShowResult(differences.empty() ? QStringLiteral("The display matches the file.")
                                   : QStringLiteral("The display differs from %1 in %2.")
                                         .arg(QFileInfo(file_).fileName(), SettingCount(differences.size())));
}

void TFormPanelProfiles::ButtonWriteClick()
{
    ClearResults();
    const std::optional<std::vector<std::uint8_t>> addresses =
        ParseAddressList(ui->EditAddresses->text().trimmed().toStdString());
    if (!addresses) {
        ShowFieldError(ui->EditAddresses, QStringLiteral("Error of the addresses: give one address 1 to 247, or "
                                                         "several like 1-5,9"));
        return;
    }
    const std::optional<profile::Profile> wanted = ChooseProfile(QStringLiteral("Write a file to the display"));
    if (!wanted)
        return;
    wanted_ = *wanted;
    addresses_ = *addresses;
    // What will change, shown on the first display before anything is written.
    CompareOnWorker(addresses_.front(), wanted_, &TFormPanelProfiles::Previewed);
}

void TFormPanelProfiles::Previewed(Outcome outcome, const std::vector<profile::Difference>& differences,
                                   const std::vector<std::string>& problems)
{
    Finish();
    if (cancelled_) {
        ShowResult(QStringLiteral("Cancelled: nothing was written."));
        return;
    }
    const std::uint8_t first = addresses_.front();
    QString found;
    if (outcome != Outcome::Done) {
        found = QStringLiteral("The display at address %1 could not be read first: %2").arg(first).arg(Lines(problems));
    } else {
        ShowDifferences(differences, QStringLiteral("Settings the file changes on the display at address %1").arg(first));
        found = differences.empty()
                    ? QStringLiteral("The display at address %1 already matches the file.").arg(first)
                    : QStringLiteral("The display at address %1 differs from the file in %2, as the table shows.")
                          .arg(first)
                          .arg(SettingCount(differences.size()));
    }
    const QString where = addresses_.size() == 1
                              ? DisplayAt(first)
                              : QStringLiteral("the %1 displays at addresses %2, one after another")
                                    .arg(addresses_.size())
                                    .arg(ui->EditAddresses->text().trimmed());
    ShowResult(found);
    const QString question = QStringLiteral("Write %1 to %2?\n%3").arg(QFileInfo(file_).fileName(), where, found);
    if (ShowMessageBox(question, QStringLiteral("Panel profiles"), MessageIcon::Question, MessageButtons::OkCancel)
        != kChoiceOk) {
        ShowResult(found + QStringLiteral(" Nothing was written."));
        return;
    }
    StartWrite();
}

void TFormPanelProfiles::StartWrite()
{
    results_.clear();
    ui->ListResults->clear();
    ShowResult(QStringLiteral("Writing %1…").arg(DisplayAt(addresses_.front())));
    Begin(unsigned(addresses_.size()) * profile::StepsPerDisplay(),
          [this, wanted = wanted_, addresses = addresses_](profile::PanelLine& line) {
              profile::WriteObserver observer;
              observer.stop = [this] { return worker_.Cancelled(); };
              observer.step = [this] { ReportStep(); };
              observer.starting = [this, &addresses](std::size_t index) {
                  const QString text = QStringLiteral("Writing %1 (%2 of %3)…")
                                           .arg(DisplayAt(addresses[index]))
                                           .arg(index + 1)
                                           .arg(addresses.size());
                  worker_.Report([this, text] { ShowResult(text); });
              };
              std::size_t index = 0;
              observer.finished = [this, &index](const profile::DisplayResult& result) {
                  worker_.Report([this, index, result] { DisplayWritten(index, result); });
                  ++index;
              };
              profile::WriteToEach(line, wanted, addresses, observer);
              worker_.Report([this] { Written(); });
          });
}

void TFormPanelProfiles::DisplayWritten(std::size_t index, const profile::DisplayResult& result)
{
    results_.push_back(result);
    ui->ListResults->addItem(Text(profile::WriteReport(result.address, result.problems)));
    ui->ListResults->scrollToBottom();
    // A display that failed early counts whole.
    ui->ProgressBar->setValue(int((index + 1) * profile::StepsPerDisplay()));
}

void TFormPanelProfiles::Written()
{
    Finish();
    std::size_t verified = 0;
    for (const profile::DisplayResult& result : results_)
        verified += result.outcome == Outcome::Done;
    if (results_.size() == 1)
        ShowResult(verified ? QStringLiteral("Written and verified.")
                            : QStringLiteral("The display at address %1 did not take the file:\n%2")
                                  .arg(results_[0].address)
                                  .arg(Lines(results_[0].problems)));
    else
        ShowResult(Text(profile::WriteSummary(results_)) + QLatin1Char('.'));
    if (!portLost_.isEmpty())
        ShowError(portLost_);
}

void TFormPanelProfiles::ButtonCopyClick()
{
    // Tab between the columns, a line per setting: pasted into a mail or a
    // spreadsheet, it stays a table.
    QStringList lines;
    QStringList heading;
    for (int column = 0; column < ui->TableDifferences->columnCount(); ++column)
        heading << ui->TableDifferences->horizontalHeaderItem(column)->text();
    lines << heading.join(QLatin1Char('\t'));
    for (int row = 0; row < ui->TableDifferences->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < ui->TableDifferences->columnCount(); ++column)
            cells << ui->TableDifferences->item(row, column)->text();
        lines << cells.join(QLatin1Char('\t'));
    }
    QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void TFormPanelProfiles::ButtonCancelClick()
{
    worker_.Cancel();
    cancelled_ = true;
    ui->ButtonCancel->setEnabled(false);
    ShowResult(QStringLiteral("Cancelling after the display in progress…"));
}

void TFormPanelProfiles::ButtonCloseClick()
{
    Close();
}

// ---------------------------------------------------------------- steps

std::optional<profile::Profile> TFormPanelProfiles::ChooseProfile(const QString& caption)
{
    const QString path = ChooseFile(FileUse::Open, caption, kProfileFilter);
    if (path.isEmpty())
        return std::nullopt;
    std::string refusal;
    std::optional<profile::Profile> loaded = LoadProfileFile(LocalPath(path), &refusal);
    if (!loaded) {
        // As vtctl words it: the file, then what is wrong with it.
        const QString text = FromLocal(refusal) + QStringLiteral("\nNothing was sent.");
        ShowResult(text);
        ShowError(text);
        return std::nullopt;
    }
    file_ = path;
    return loaded;
}

bool TFormPanelProfiles::Begin(unsigned steps, std::function<void(profile::PanelLine&)> work)
{
    // One owner of the port at a time: from here to Finish, this window's
    // worker. Other windows' exchanges, and a synchronisation that comes
    // due, wait for it.
    owner_.emplace();
    portLost_.clear();
    cancelled_ = false;
    panel_ = std::make_unique<profile::PanelLine>();
    panel_->link.SetFrameObserver(Link.Observer());
    if (!OpenConnectionOn(panel_->link)) {
        panel_.reset();
        owner_.reset();
        ShowResult(QString());
        return false;
    }
    // What the action neither reads nor writes stays as the image holds it.
    panel_->image = Image;
    panel_->settings.displayAddress = Settings.displayAddress;
    SetBusy(true, steps);
    worker_.Start([work = std::move(work), line = panel_.get()] { work(*line); });
    return true;
}

void TFormPanelProfiles::CompareOnWorker(std::uint8_t address, const profile::Profile& wanted, ComparedStep then)
{
    ShowResult(QStringLiteral("Reading %1…").arg(DisplayAt(address)));
    Begin(profile::Transfer::ReadSteps(), [this, address, wanted, then](profile::PanelLine& line) {
        line.settings.displayAddress = address;
        profile::Transfer transfer(line.link, line.image);
        transfer.SetStepObserver([this] { ReportStep(); });
        std::vector<profile::Difference> differences;
        const Outcome outcome = transfer.Compare(wanted, &differences);
        worker_.Report([this, then, outcome, differences, problems = transfer.Problems()] {
            (this->*then)(outcome, differences, problems);
        });
    });
}

void TFormPanelProfiles::ReportStep()
{
    worker_.Report([this] { ui->ProgressBar->setValue(ui->ProgressBar->value() + 1); });
}

void TFormPanelProfiles::Finish()
{
    worker_.Stop();
    if (!panel_)
        return;
    // Whatever was read or written goes into the image, so the settings
    // windows show it when they are opened next.
    profile::CopyGroups(panel_->image, Image, profile::ReadBlocks);
    if (panel_->link.PortLost())
        portLost_ = PortLostMessage(panel_->link, Settings.portIndex);
    panel_.reset();  // closes its port
    owner_.reset();  // what waited for the port runs now
    SetBusy(false);
}

void TFormPanelProfiles::SetBusy(bool busy, unsigned steps)
{
    for (QWidget* control : {static_cast<QWidget*>(ui->ButtonSave), static_cast<QWidget*>(ui->ButtonCompare),
                             static_cast<QWidget*>(ui->ButtonWrite), static_cast<QWidget*>(ui->EditAddresses)})
        control->setEnabled(!busy);
    ui->ButtonCancel->setEnabled(busy);
    if (busy) {
        ui->ProgressBar->setRange(0, int(steps));
        ui->ProgressBar->setValue(0);
    }
}

void TFormPanelProfiles::ClearResults()
{
    ShowDifferences({}, QStringLiteral("Settings that differ"));
    ui->ListResults->clear();
    ui->ProgressBar->setValue(0);
    ShowResult(QString());
}

void TFormPanelProfiles::ShowDifferences(const std::vector<profile::Difference>& differences, const QString& caption)
{
    ui->LabelDifferences->setText(caption);
    QTableWidget* table = ui->TableDifferences;
    table->setRowCount(int(differences.size()));
    for (int row = 0; row < int(differences.size()); ++row) {
        const profile::Difference& difference = differences[std::size_t(row)];
        const profile::Setting& setting = *difference.setting;
        const QString cells[] = {QString::fromLatin1(profile::GroupName(setting.group)), Text(setting.Name()),
                                 Text(profile::ValueText(setting, difference.display)),
                                 Text(profile::ValueText(setting, difference.wanted))};
        for (int column = 0; column < 4; ++column)
            table->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    ui->ButtonCopy->setEnabled(!differences.empty());
}

void TFormPanelProfiles::ShowResult(const QString& text)
{
    ui->LabelResult->setText(text);
}

void TFormPanelProfiles::TellReadFailure(const QString& headline, const std::vector<std::string>& problems)
{
    // A lost port is told as every window tells it; a refused group by name.
    const QString text = headline + QLatin1Char('\n') + (portLost_.isEmpty() ? Lines(problems) : portLost_);
    ShowResult(text);
    ShowError(text);
}
