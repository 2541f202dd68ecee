#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>

namespace engine {

// Texts handed out as C strings that must outlive the call returning them (device names).
// The pool keeps the `capacity` most recently handed-out distinct texts: a text that is asked
// for again stays at the same address, one left unused while `capacity` others were handed
// out is freed. Callers copy a text before asking for that many others.
class TextPool
{
public:
    explicit TextPool(std::size_t capacity)
        : m_capacity(capacity)
    {}

    const char *intern(const std::string &text)
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_texts.begin(); it != m_texts.end(); ++it) {
            if (*it == text) {
                // Moving a list node keeps the string where it is.
                m_texts.splice(m_texts.end(), m_texts, it);
                return m_texts.back().c_str();
            }
        }
        m_texts.push_back(text);
        if (m_texts.size() > m_capacity)
            m_texts.pop_front();
        return m_texts.back().c_str();
    }

    std::size_t size() const
    {
        std::lock_guard lock(m_mutex);
        return m_texts.size();
    }

private:
    mutable std::mutex m_mutex;
    std::list<std::string> m_texts; // least recently handed out first
    const std::size_t m_capacity;
};

} // namespace engine
