#include "PanelProfiles.h"

#include "Addresses.h"
#include "Backup.h"
#include "Clock.h"
#include "FileChoice.h"
#include "MessageBox.h"
#include "ProfileFile.h"
#include "ProgramLink.h"
#include "Record.h"
#include "ui_PanelProfiles.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

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

// Paths go to the profile files' code as UTF-8 on every system, and back for messages.
std::string LocalPath(const QString& path)
{
    return path.toStdString();
}

QString FromLocal(const std::string& text)
{
    return QString::fromStdString(text);
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

// The groups of a display just written whose values in the line's image are
// the display's own: read back after the write, or read before it and not
// written (a refused group is put back as read). A group written but not read
// back may hold anything now.
std::vector<profile::Group> KnownGroups(const profile::DisplayResult& result)
{
    std::vector<profile::Group> known;
    for (const profile::GroupResult& group : result.groups) {
        using profile::GroupState;
        const bool readBack = group.state == GroupState::Verified || group.state == GroupState::NotKept;
        const bool asBefore =
            result.readBefore && (group.state == GroupState::NotWritten || group.state == GroupState::Refused);
        if (result.attempted && (readBack || asBefore))
            known.push_back(group.group);
    }
    return known;
}

// After a display's write, the settings where it differs from what was
// written: from its image where that is the display's, else the changes it
// was asked for, with the value it held before.
std::vector<profile::Difference> NotTaken(const profile::DisplayResult& result, const RegisterImage& image,
                                          const profile::Profile& wanted)
{
    if (!result.attempted)
        return {};
    const std::vector<profile::Group> known = KnownGroups(result);
    std::vector<profile::Difference> rows = profile::Compare(image, wanted.registers, known);
    for (const profile::Change& change : result.changes)
        if (std::find(known.begin(), known.end(), change.setting->group) == known.end())
            rows.push_back({change.setting, change.before, change.wanted});
    std::stable_sort(rows.begin(), rows.end(), [](const profile::Difference& a, const profile::Difference& b) {
        return a.setting < b.setting;  // the order of the file: Settings() is one array
    });
    return rows;
}

const QString kRecordFilter = QStringLiteral("Records (*.json);;All files (*)");

// "1 row", "13 rows"
QString RowCount(int count)
{
    return count == 1 ? QStringLiteral("1 row") : QStringLiteral("%1 rows").arg(count);
}

// After a display that failed, the next waits this long, so a "Cancel"
// pressed on seeing the failure holds before anything goes to it.
constexpr auto kPauseAfterFailure = std::chrono::milliseconds(1500);

// The most changes the confirmation lists itself; the table holds them all.
constexpr std::size_t kChangesInQuestion = 12;

// "brightness dayLevel: 75 on the display, 40 in the file"
QString ChangeLine(const profile::Difference& difference)
{
    const profile::Setting& setting = *difference.setting;
    return QStringLiteral("%1 %2: %3 on the display, %4 in the file")
        .arg(QString::fromLatin1(profile::GroupName(setting.group)), Text(setting.Name()),
             Text(profile::ValueText(setting, difference.display)), Text(profile::ValueText(setting, difference.wanted)));
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
    // A failed display's line is long: it wraps rather than hides its end.
    ui->ListResults->setWordWrap(true);
    ui->ListResults->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->ListResults->setResizeMode(QListView::Adjust);
}

void TFormPanelProfiles::Open()
{
    ShowModal();
    // Left by the program's end rather than by closing: the action ends too.
    if (Busy()) {
        cancelled_ = true;
        closeWhenDone_ = false;
        Finish();
    }
}

void TFormPanelProfiles::done(int result)
{
    if (Busy()) {
        closeWhenDone_ = true;
        ButtonCancelClick();
        return;
    }
    closeWhenDone_ = false;
    TForm::done(result);
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
        KeepForImage(line.image, {std::begin(profile::kGroups), std::end(profile::kGroups)}, false);
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
    const QString path =
        ChooseFileFor(SaveAction, FileUse::Save, QStringLiteral("Save the display's settings"), SuggestedName(address));
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
    const std::optional<profile::Profile> wanted = ChooseProfile(CompareAction, QStringLiteral("Compare with a file"));
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
    const std::optional<profile::Profile> wanted =
        ChooseProfile(WriteAction, QStringLiteral("Write a file to the display"));
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
    // The box may stand over the table: the changes are in the question too.
    QString question = QStringLiteral("Write %1 to %2?\n%3").arg(QFileInfo(file_).fileName(), where, found);
    if (outcome == Outcome::Done && !differences.empty()) {
        question = QStringLiteral("Write %1 to %2?\nThe display at address %3 differs from the file in %4:")
                       .arg(QFileInfo(file_).fileName(), where)
                       .arg(first)
                       .arg(SettingCount(differences.size()));
        for (std::size_t k = 0; k < differences.size() && k < kChangesInQuestion; ++k)
            question += QStringLiteral("\n  ") + ChangeLine(differences[k]);
        if (differences.size() > kChangesInQuestion)
            question += QStringLiteral("\n  … and %1 more in the table").arg(differences.size() - kChangesInQuestion);
    }
    if (ShowMessageBox(question, QStringLiteral("Panel profiles"), MessageIcon::Question, MessageButtons::OkCancel)
        != kChoiceOk) {
        ShowResult(found + QStringLiteral(" Nothing was written."));
        return;
    }
    undoing_ = false;
    StartWrite({wanted_}, true);
}

void TFormPanelProfiles::StartWrite(std::vector<profile::Profile> profiles, bool backups)
{
    results_.clear();
    found_.clear();
    ui->ListResults->clear();
    listed_ = 0;
    started_ = std::time(nullptr);
    ShowResult(QStringLiteral("Writing %1…").arg(DisplayAt(addresses_.front())));
    profile::WriteOptions options;
    if (backups)
        options.backupFolder = profile::DefaultBackupFolder();
    Begin(unsigned(addresses_.size()) * profile::StepsPerDisplay(),
          [this, profiles = std::move(profiles), addresses = addresses_, own = Settings.displayAddress,
           options](profile::PanelLine& line) {
              std::size_t index = 0;
              bool stopped = false;  // the displays left are told, not written
              profile::WriteObserver observer;
              observer.stop = [this] { return worker_.Cancelled(); };
              observer.step = [this] { ReportStep(); };
              observer.starting = [this, &addresses, &index](std::size_t) {
                  const QString text = QStringLiteral("Writing %1 (%2 of %3)…")
                                           .arg(DisplayAt(addresses[index]))
                                           .arg(index + 1)
                                           .arg(addresses.size());
                  worker_.Report([this, text] { ShowResult(text); });
              };
              observer.finished = [&](const profile::DisplayResult& result) {
                  // What the display holds is in the line's image, until the next display.
                  const std::vector<profile::Difference> found =
                      NotTaken(result, line.image, profiles[profiles.size() == 1 ? 0 : index]);
                  if (result.address == own && result.attempted)
                      KeepForImage(line.image, KnownGroups(result), true);
                  worker_.Report([this, index, result, found] {
                      found_.push_back(found);
                      DisplayWritten(index, result);
                  });
                  if (result.outcome == Outcome::PortLost || result.outcome == Outcome::Cancelled)
                      stopped = true;
                  // A pause after a failure, for a "Cancel" on seeing it: counted
                  // from when its line is in the list, however busy the machine.
                  if (result.outcome != Outcome::Done && !stopped && index + 1 < addresses.size()) {
                      while (!worker_.Cancelled() && listed_ <= index)
                          std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      const auto until = std::chrono::steady_clock::now() + kPauseAfterFailure;
                      while (!worker_.Cancelled() && std::chrono::steady_clock::now() < until)
                          std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  }
              };
              // One profile for all: one pass. An undo's backups differ by
              // display: a pass each, the same stop between them.
              if (profiles.size() == 1) {
                  const auto counted = observer.finished;
                  observer.finished = [&](const profile::DisplayResult& result) {
                      counted(result);
                      ++index;
                  };
                  profile::WriteToEach(line, profiles.front(), addresses, observer, options);
              } else {
                  bool lost = false;
                  while (index < addresses.size()) {
                      if (lost) {
                          profile::DisplayResult left {addresses[index], Outcome::PortLost,
                                                       {"not written: the port was lost"}};
                          left.attempted = false;
                          observer.finished(left);
                          ++index;
                          continue;
                      }
                      profile::WriteObserver one = observer;
                      one.finished = [&](const profile::DisplayResult& result) {
                          lost = result.outcome == Outcome::PortLost;
                          observer.finished(result);
                          ++index;
                      };
                      profile::WriteToEach(line, profiles[index], {addresses[index]}, one, options);
                  }
              }
              worker_.Report([this] { Written(); });
          });
}

void TFormPanelProfiles::DisplayWritten(std::size_t index, const profile::DisplayResult& result)
{
    results_.push_back(result);
    ui->ListResults->addItem(Text(profile::WriteReport(result)));
    ui->ListResults->item(ui->ListResults->count() - 1)->setToolTip(Text(profile::WriteReport(result)));
    ui->ListResults->scrollToBottom();
    // A display that failed early counts whole.
    ui->ProgressBar->setValue(int((index + 1) * profile::StepsPerDisplay()));
    ++listed_;
}

void TFormPanelProfiles::Written()
{
    Finish();
    finished_ = std::time(nullptr);
    ShowWhatWasFound();
    // The displays this write reached, each with its settings from before,
    // are what an undo writes back; an undo itself is not undone.
    undoable_.clear();
    if (!undoing_)
        for (const profile::DisplayResult& result : results_)
            if (result.attempted && !result.backup.empty())
                undoable_.emplace_back(result.address, result.backup);
    ui->ButtonUndo->setEnabled(!undoable_.empty());
    // What the record tells stays as it was written, whatever is compared next.
    record_.emplace();
    record_->toolVersion = VTCONFIG_VERSION;
    record_->started = started_;
    record_->finished = finished_;
    record_->port = PortName(Settings.portIndex).toStdString();
    record_->mode = kModeNames[Settings.modeIndex % kModeCount];
    record_->rate = kPortRates[Settings.rateIndex % kPortRateCount];
    record_->profilePath = LocalPath(file_);
    record_->profileBytes = fileBytes_;
    if (undoing_)
        record_->displayProfiles = undoSources_;
    record_->results = results_;
    ui->ButtonRecord->setEnabled(true);
    if (results_.size() == 1)
        ShowResult(results_[0].outcome == Outcome::Done
                       ? QStringLiteral("Written and verified.")
                       : QStringLiteral("The display at address %1 did not take the file:\n%2")
                             .arg(results_[0].address)
                             .arg(Text(profile::WriteReport(results_[0]))));
    else
        ShowResult(Text(profile::WriteSummary(results_)) + QLatin1Char('.'));
    if (undoing_)
        ShowResult(QStringLiteral("The settings from before the last write, written back: ") + ui->LabelResult->text());
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
    ui->LabelCopied->setText(QStringLiteral("Copied %1.").arg(RowCount(ui->TableDifferences->rowCount())));
}

void TFormPanelProfiles::ButtonUndoClick()
{
    // Each display's own backup, loaded before anything is sent.
    std::vector<profile::Profile> profiles;
    std::vector<std::uint8_t> addresses;
    QStringList names;
    std::map<std::uint8_t, profile::WriteSession::Source> sources;
    for (const auto& [address, backup] : undoable_) {
        std::string refusal;
        std::string bytes;
        std::optional<profile::Profile> loaded = LoadProfileFile(backup, &refusal, &bytes);
        if (!loaded) {
            const QString text = FromLocal(refusal) + QStringLiteral("\nNothing was sent.");
            ShowResult(text);
            ShowError(text);
            return;
        }
        profiles.push_back(*loaded);
        sources[address] = {backup, std::move(bytes)};
        addresses.push_back(address);
        names << QString::number(address);
    }
    if (addresses.empty())
        return;
    const QString question =
        addresses.size() == 1
            ? QStringLiteral("Write back to %1 the settings it had before the last write?")
                  .arg(DisplayAt(addresses.front()))
            : QStringLiteral("Write back to the displays at addresses %1 the settings each had before the last write?")
                  .arg(names.join(QStringLiteral(", ")));
    if (ShowMessageBox(question, QStringLiteral("Panel profiles"), MessageIcon::Question, MessageButtons::OkCancel)
        != kChoiceOk)
        return;
    ClearResults();
    // The record of an undo names the first backup as its profile, and each
    // display the backup it was written from.
    file_ = FromLocal(undoable_.front().second);
    fileBytes_ = sources.begin()->second.bytes;
    undoSources_ = std::move(sources);
    addresses_ = addresses;
    undoing_ = true;
    StartWrite(std::move(profiles), false);
}

void TFormPanelProfiles::ButtonRecordClick()
{
    if (!record_)
        return;
    const profile::WriteSession& session = *record_;
    // "record-2026-12-10T14-15-02.json": when the write began, as a name every system takes.
    const QString began = QString::fromStdString(profile::IsoTime(session.started)).left(19);
    const QString suggested = QStringLiteral("record-%1.json").arg(QString(began).replace(QLatin1Char(':'), QLatin1Char('-')));
    const QString path = ChooseFileFor(RecordAction, FileUse::Save, QStringLiteral("Save the record of the write"),
                                       suggested, kRecordFilter);
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    const QString page = info.dir().filePath(info.completeBaseName() + QStringLiteral(".html"));
    std::string error;
    if (!SaveProfileFile(LocalPath(path), profile::RecordText(session), &error)
        || !SaveProfileFile(LocalPath(page), profile::ReportHtml(session), &error)) {
        const QString text = QStringLiteral("The record was not saved: %1").arg(FromLocal(error));
        ShowResult(text);
        ShowError(text);
        return;
    }
    ShowResult(QStringLiteral("The record is saved in %1, the report in %2.")
                   .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(page)));
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

QString TFormPanelProfiles::ChooseFileFor(FileAction action, FileUse use, const QString& caption,
                                          const QString& suggestedName, const QString& filter)
{
    QString& last = lastFiles_[action];
    // Saving suggests a new name in the folder last saved to; the others
    // offer the file their action last took.
    QString start = suggestedName;
    if (!last.isEmpty())
        start = suggestedName.isEmpty() ? last : QFileInfo(last).dir().filePath(suggestedName);
    const QString path = ChooseFile(use, caption, filter.isEmpty() ? kProfileFilter : filter, start,
                                    use == FileUse::Save ? QStringLiteral("json") : QString());
    if (!path.isEmpty())
        last = path;
    return path;
}

std::optional<profile::Profile> TFormPanelProfiles::ChooseProfile(FileAction action, const QString& caption)
{
    const QString path = ChooseFileFor(action, FileUse::Open, caption);
    if (path.isEmpty())
        return std::nullopt;
    // Opening a pipe or a device would block the window until something
    // writes to it: only a regular file is opened at all.
    const QFileInfo info(path);
    if (!info.isFile()) {
        const QString text = QStringLiteral("%1: %2\nNothing was sent.")
                                 .arg(path, info.exists() ? QStringLiteral("not a regular file, so no profile")
                                                          : QStringLiteral("no such file"));
        ShowResult(text);
        ShowError(text);
        return std::nullopt;
    }
    std::string refusal;
    std::optional<profile::Profile> loaded = LoadProfileFile(LocalPath(path), &refusal, &fileBytes_);
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
    const std::uint8_t own = Settings.displayAddress;
    Begin(profile::Transfer::ReadSteps(), [this, address, wanted, then, own](profile::PanelLine& line) {
        line.settings.displayAddress = address;
        profile::Transfer transfer(line.link, line.image);
        transfer.SetStepObserver([this] { ReportStep(); });
        std::vector<profile::Difference> differences;
        const Outcome outcome = transfer.Compare(wanted, &differences);
        // Another display's settings are no part of the connection's image.
        if (address == own)
            KeepForImage(line.image, {std::begin(profile::kGroups), std::end(profile::kGroups)}, false);
        worker_.Report([this, then, outcome, differences, problems = transfer.Problems()] {
            (this->*then)(outcome, differences, problems);
        });
    });
}

void TFormPanelProfiles::ReportStep()
{
    worker_.Report([this] { ui->ProgressBar->setValue(ui->ProgressBar->value() + 1); });
}

void TFormPanelProfiles::KeepForImage(const RegisterImage& registers, std::vector<profile::Group> groups, bool written)
{
    worker_.Report(
        [this, registers, groups = std::move(groups), written] { kept_ = ImageKept {registers, groups, written}; });
}

void TFormPanelProfiles::Finish()
{
    worker_.Stop();
    if (!panel_) {
        kept_.reset();
        return;
    }
    // What the connection's display holds goes into the image, so the
    // settings windows show it when they are opened next; a group it did
    // not take stays as the image knew it.
    if (kept_)
        for (profile::Group group : kept_->groups)
            for (const RegisterBlock& block : kept_->written ? profile::WriteBlocks(group) : profile::ReadBlocks(group))
                for (unsigned k = 0; k < block.quantity; ++k)
                    Image.Set(block.first + k, kept_->registers.Get(block.first + k));
    kept_.reset();
    const bool lost = panel_->link.PortLost();
    if (lost)
        portLost_ = PortLostMessage(panel_->link, Settings.portIndex);
    panel_.reset();  // closes its port
    // The program's link takes the port back, as after any window's
    // action; a lost port is opened anew by the next action, as everywhere.
    if (!lost)
        TryOpenPort(OpenWhen::IfClosed);
    owner_.reset();  // what waited for the port runs now
    SetBusy(false);
    if (closeWhenDone_)
        QTimer::singleShot(0, this, [this] { done(QDialog::Rejected); });
}

void TFormPanelProfiles::SetBusy(bool busy, unsigned steps)
{
    for (QWidget* control : {static_cast<QWidget*>(ui->ButtonSave), static_cast<QWidget*>(ui->ButtonCompare),
                             static_cast<QWidget*>(ui->ButtonWrite), static_cast<QWidget*>(ui->EditAddresses)})
        control->setEnabled(!busy);
    ui->ButtonUndo->setEnabled(!busy && !undoable_.empty());
    ui->ButtonRecord->setEnabled(!busy && record_.has_value());
    ui->ButtonCancel->setEnabled(busy);
    if (busy) {
        ui->ProgressBar->setRange(0, int(steps));
        ui->ProgressBar->setValue(0);
    }
}

void TFormPanelProfiles::ClearResults()
{
    ui->LabelCopied->clear();
    ShowDifferences({}, QStringLiteral("Settings that differ"));
    // The list stays: what the last write did, until the next write.
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

void TFormPanelProfiles::ShowWhatWasFound()
{
    // The preview is stale once written: the table shows the read-back.
    std::vector<profile::Difference> rows;
    std::vector<std::uint8_t> rowAddresses;
    QStringList failing;
    for (std::size_t k = 0; k < results_.size() && k < found_.size(); ++k) {
        for (const profile::Difference& difference : found_[k]) {
            rows.push_back(difference);
            rowAddresses.push_back(results_[k].address);
        }
        if (!found_[k].empty())
            failing << QString::number(results_[k].address);
    }
    const bool several = results_.size() > 1;
    QString caption;
    if (!rows.empty())
        caption = failing.size() > 1
                      ? QStringLiteral("Settings the displays at addresses %1 did not take")
                            .arg(failing.join(QStringLiteral(", ")))
                      : QStringLiteral("Settings the display at address %1 did not take").arg(failing.front());
    else if (std::all_of(results_.begin(), results_.end(),
                         [](const profile::DisplayResult& result) { return result.outcome == Outcome::Done; }))
        caption = several ? QStringLiteral("Every display matches the file.")
                          : QStringLiteral("The display matches the file.");
    else
        caption = QStringLiteral("No setting read from the displays differs from the file.");
    ShowDifferences(rows, caption);
    // Among several displays, each row names its own.
    if (several)
        for (int row = 0; row < int(rows.size()); ++row)
            ui->TableDifferences->item(row, 0)->setText(QStringLiteral("%1 (display %2)")
                                                            .arg(ui->TableDifferences->item(row, 0)->text())
                                                            .arg(rowAddresses[std::size_t(row)]));
}

void TFormPanelProfiles::TellReadFailure(const QString& headline, const std::vector<std::string>& problems)
{
    // A lost port is told as every window tells it; a refused group by name.
    const QString text = headline + QLatin1Char('\n') + (portLost_.isEmpty() ? Lines(problems) : portLost_);
    ShowResult(text);
    ShowError(text);
}
