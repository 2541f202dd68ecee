#pragma once

#include "bass.h"

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace engine {

// The engine's configuration: the numeric options (BASS_CONFIG_*) with their defaults and the
// text options (user agent, proxy, the library's own file name). Any thread may read or change
// it; texts handed out through getPtr stay valid after later changes.
class EngineConfig
{
public:
    EngineConfig();

    // False for an unknown option or a value out of its range.
    bool set(DWORD option, DWORD value);
    bool get(DWORD option, DWORD &value);
    // Agent and proxy only; a null value removes the text.
    bool setPtr(DWORD option, const void *value);
    // Agent, proxy and file name; value is null when the text is not set.
    bool getPtr(DWORD option, const void *&value);
    // A copy of a text option, empty when not set.
    std::string text(DWORD option);

private:
    std::mutex m_mutex;
    std::unordered_map<DWORD, DWORD> m_values;
    std::unordered_map<DWORD, std::string> m_texts;
    std::deque<std::string> m_textHistory; // keeps returned pointers valid
};

} // namespace engine
