// The base of every window: a dialog whose event handlers are bound by name,
// as its layout names them. A control `SpeedButton2` and a member slot
// `SpeedButton2Click()` are connected without a hand-written connect:
//   ...Click()            buttons (clicked) and labels (mouse release)
//   ...DblClick()         group boxes and labels (double click)
//   ...Change(QTreeWidgetItem*)  trees (current item changed)
//   ...Timer()            timers (timeout)
// and FormCreate(), FormShow(), FormClose() run at creation, before showing,
// and on closing by any means. A double click on a button clicks it once. A
// handler that throws is reported, never thrown through the event loop.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class QTimer;

class TForm : public QDialog {
    Q_OBJECT
public:
    enum class Placement { ScreenCenter, Designed };
    enum class Border { Dialog, MainWindow, None };

    explicit TForm(QWidget* parent = nullptr);

    int ShowModal();
    void Show();
    void Close();

    // Calls the handler of that name, if the window has one, and reports what
    // it throws. False when there is no such handler.
    bool Invoke(const char* handler);

    // 1 for the first window created, 2 for the next, and so on.
    int CreationIndex() const { return creationIndex_; }

protected:
    // For the windows' constructors: builds the layout file's controls on this
    // window, sets its style, and keeps the controls' holder for the window's life.
    template <typename UiClass>
    UiClass* Design(Border border, Placement placement)
    {
        auto ui = std::make_shared<UiClass>();
        ui->setupUi(this);
        design_ = ui;
        SetUp(border, placement);
        return ui.get();
    }
    // The style alone, for windows built in code.
    void SetUp(Border border, Placement placement);
    // Where a window of designed placement opens (layout files keep only the size).
    void SetDesignedPosition(QPoint position) { designedPosition_ = position; }
    // A timer under the name its handler is bound by; stopped until enabled.
    QTimer* AddTimer(const char* name, int intervalMs, bool enabled);

    void setVisible(bool visible) override;
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    template <typename T>
    friend T* CreateForm(T*& instance);
    void Created();
    void BindHandlers();
    void FitCaption();
    void KeepWithMainWindow();
    int HandlerIndex(const QString& signature) const;
    bool InvokeIndex(int index, void* argument = nullptr);

    Placement placement_ = Placement::ScreenCenter;
    Border border_ = Border::Dialog;
    QPoint designedPosition_;
    bool placed_ = false;
    int creationIndex_ = 0;
    std::shared_ptr<void> design_;
};

// Runs `cleanup` when the window handler now running returns, after the
// cleanups it registered later. False, with nothing kept, when no handler
// runs. What a handler takes for its whole course it gives back there.
bool AtHandlerEnd(std::function<void()> cleanup);

// Creates a window as the program does at start-up: the object, its global
// instance, its bound handlers, then its FormCreate.
template <typename T>
T* CreateForm(T*& instance)
{
    instance = new T();
    instance->Created();
    return instance;
}
