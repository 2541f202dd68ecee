#pragma once

#include "device.h"
#include "pulseconnection.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine {

// The sound server's outputs, kept over one long-lived connection that follows the server's
// change events: listing them again costs nothing until an output or the default changes.
class PulseSinkList
{
public:
    static PulseSinkList &instance();

    // Copies the outputs (the default one marked) into `out`; false when no server answers.
    bool list(std::vector<DeviceEntry> &out);

    // How long to wait for the server.
    static constexpr int TimeoutMs = 2000;

private:
    PulseSinkList() = default;
    void reconnect(); // under m_mutex
    bool refresh();   // under m_mutex

    std::mutex m_mutex;
    std::unique_ptr<PulseConnection> m_connection;
    std::vector<DeviceEntry> m_sinks;
    bool m_listed = false;
    std::shared_ptr<std::atomic<bool>> m_dirty = std::make_shared<std::atomic<bool>>(true);
    std::chrono::steady_clock::time_point m_lastAttempt{};
};

} // namespace engine
