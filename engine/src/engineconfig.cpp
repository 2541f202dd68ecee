#include "engineconfig.h"

#include <dlfcn.h>

namespace engine {

namespace {

struct ConfigDefault
{
    DWORD option;
    DWORD value;
};
constexpr ConfigDefault ConfigDefaults[] = {
    {BASS_CONFIG_NET_TIMEOUT, 5000},  {BASS_CONFIG_NET_BUFFER, 5000},
    {BASS_CONFIG_NET_PREBUF, 75},     {BASS_CONFIG_NET_PLAYLIST, 0},
    {BASS_CONFIG_NET_READTIMEOUT, 0}, {BASS_CONFIG_VERIFY_NET, 4000},
    {BASS_CONFIG_NET_PREBUF_WAIT, 1}, {BASS_CONFIG_VERIFY, 16000},
};

std::string libraryPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&libraryPath), &info) && info.dli_fname)
        return info.dli_fname;
    return {};
}

} // namespace

EngineConfig::EngineConfig()
{
    for (const ConfigDefault &d : ConfigDefaults)
        m_values[d.option] = d.value;
    m_texts[BASS_CONFIG_FILENAME] = libraryPath();
}

bool EngineConfig::set(DWORD option, DWORD value)
{
    std::lock_guard lock(m_mutex);
    auto it = m_values.find(option);
    if (it == m_values.end())
        return false;
    if (option == BASS_CONFIG_NET_PLAYLIST && value > 2)
        return false;
    it->second = value;
    return true;
}

bool EngineConfig::get(DWORD option, DWORD &value)
{
    std::lock_guard lock(m_mutex);
    auto it = m_values.find(option);
    if (it == m_values.end())
        return false;
    value = it->second;
    return true;
}

bool EngineConfig::setPtr(DWORD option, const void *value)
{
    if (option != BASS_CONFIG_NET_AGENT && option != BASS_CONFIG_NET_PROXY)
        return false;
    std::lock_guard lock(m_mutex);
    if (value)
        m_texts[option] = static_cast<const char *>(value);
    else
        m_texts.erase(option);
    return true;
}

bool EngineConfig::getPtr(DWORD option, const void *&value)
{
    if (option != BASS_CONFIG_NET_AGENT && option != BASS_CONFIG_NET_PROXY &&
        option != BASS_CONFIG_FILENAME)
        return false;
    std::lock_guard lock(m_mutex);
    auto it = m_texts.find(option);
    if (it == m_texts.end()) {
        value = nullptr;
        return true;
    }
    // Earlier results stay valid: keep a copy of every text handed out.
    if (m_textHistory.empty() || m_textHistory.back() != it->second)
        m_textHistory.push_back(it->second);
    if (m_textHistory.size() > 64)
        m_textHistory.pop_front();
    value = m_textHistory.back().c_str();
    return true;
}

std::string EngineConfig::text(DWORD option)
{
    std::lock_guard lock(m_mutex);
    auto it = m_texts.find(option);
    return it == m_texts.end() ? std::string() : it->second;
}

} // namespace engine
