// Long work on a thread of its own, beside a window that stays responsive:
// the work reports as it goes, and each report runs on the GUI thread, in
// order. Reports are handed over under a lock of this class's own, which
// ThreadSanitizer sees (Qt's event queue it cannot).
#pragma once

#include <QObject>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class Worker : public QObject {
    Q_OBJECT
public:
    // Created on the GUI thread, where its reports then run.
    Worker() = default;
    ~Worker() override { Stop(); }

    // Runs `work` on a new thread; one work at a time.
    void Start(std::function<void()> work);
    // From the work: runs `report` on the GUI thread, after the reports
    // made before it.
    void Report(std::function<void()> report);
    // Asks the work to end; it looks at Cancelled() where it can stop.
    void Cancel() { cancel_ = true; }
    bool Cancelled() const { return cancel_; }
    // Cancels, waits for the thread to end, and drops the reports it left
    // untold: they are stale now.
    void Stop();
    // Whether a work was started and not yet stopped.
    bool Busy() const { return thread_.joinable(); }

private slots:
    void RunReports();

private:
    std::thread thread_;
    std::atomic<bool> cancel_ {false};
    std::mutex reportsLock_;
    std::deque<std::function<void()>> reports_;
};
