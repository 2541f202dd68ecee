#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

// Runs function objects on the thread this object lives in, in the order they were posted from
// any thread. The steps pass through a standard mutex, so what a step captures is handed over
// with a happens-before edge that ThreadSanitizer sees (Qt's own event queue is invisible to it
// in an uninstrumented Qt).
class VCStepQueue : public QObject
{
    Q_OBJECT

public:
    explicit VCStepQueue(QObject *parent = nullptr)
        : QObject(parent)
    {}

    // Safe from any thread; the step runs later in this object's thread.
    void post(std::function<void()> step);

private slots:
    void runSteps();

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_steps;
};
