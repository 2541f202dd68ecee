#include "vcstepqueue.h"

void VCStepQueue::post(std::function<void()> step)
{
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_mutex);
        wasEmpty = m_steps.empty();
        m_steps.push_back(std::move(step));
    }
    // One wake-up per batch; it carries no data of its own.
    if (wasEmpty)
        QMetaObject::invokeMethod(this, "runSteps", Qt::QueuedConnection);
}

void VCStepQueue::runSteps()
{
    for (;;) {
        std::function<void()> step;
        {
            std::lock_guard lock(m_mutex);
            if (m_steps.empty())
                return;
            step = std::move(m_steps.front());
            m_steps.pop_front();
        }
        step();
    }
}
