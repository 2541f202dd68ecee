#pragma once

#include "pulseconnection.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace engine {

// The sound server's capture sources as numbered recording devices. A device keeps its number
// for the life of the process: one that disappears stays in the list, no longer enabled, and
// takes its number back when it returns; new ones are appended. The list follows the server
// through its change events.
class PulseSourceList
{
public:
    struct Entry
    {
        std::string name; // description, UTF-8; fixed for the entry's life
        std::string id;   // the server's source name; fixed
        bool present = false;
        bool isDefault = false;
        bool loopback = false; // the monitor of an output
        int rate = 0;
        int channels = 0;
    };

    static PulseSourceList &instance();

    // Brings the list up to date (connecting to the server if needed) and copies entry
    // `index`. The name and id pointers stay valid for the life of the process.
    bool entry(int index, Entry &out, const char **name = nullptr, const char **id = nullptr);
    // Number of the default source, or -1.
    int defaultIndex();
    int count();

    // How long to wait for the server.
    static constexpr int TimeoutMs = 2000;

private:
    PulseSourceList() = default;
    void refresh(); // under m_mutex
    void reconnect();

    std::mutex m_mutex;
    std::unique_ptr<PulseConnection> m_connection;
    std::deque<Entry> m_entries; // never shrinks: pointers into it stay valid
    std::shared_ptr<std::atomic<bool>> m_dirty = std::make_shared<std::atomic<bool>>(true);
    std::chrono::steady_clock::time_point m_lastAttempt{};
};

} // namespace engine
