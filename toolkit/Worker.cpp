#include "Worker.h"

#include <QMetaObject>

void Worker::Start(std::function<void()> work)
{
    Stop();
    cancel_ = false;
    thread_ = std::thread(std::move(work));
}

void Worker::Report(std::function<void()> report)
{
    {
        std::lock_guard<std::mutex> lock(reportsLock_);
        reports_.push_back(std::move(report));
    }
    QMetaObject::invokeMethod(this, "RunReports", Qt::QueuedConnection);
}

void Worker::Stop()
{
    cancel_ = true;
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(reportsLock_);
    reports_.clear();
}

void Worker::RunReports()
{
    // One at a time, the lock not held while one runs: a report may stop
    // the work, or open a window whose loop runs the next reports.
    for (;;) {
        std::function<void()> report;
        {
            std::lock_guard<std::mutex> lock(reportsLock_);
            if (reports_.empty())
                return;
            report = std::move(reports_.front());
            reports_.pop_front();
        }
        report();
    }
}
