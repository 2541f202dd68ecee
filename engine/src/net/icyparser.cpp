#include "icyparser.h"

#include <algorithm>
#include <charconv>

namespace engine {

namespace {
// Servers use a few kilobytes; anything above this is not a sensible interval.
constexpr int64_t MaxMetaint = 1 << 20;
} // namespace

IcyParser::IcyParser(int64_t metaint)
    : m_metaint(metaint > 0 ? metaint : 0)
    , m_audioLeft(m_metaint)
{
    m_text.reserve(m_metaint > 0 ? MaxMetaBytes : 0);
}

int64_t IcyParser::parseMetaint(const std::string &value)
{
    size_t b = value.find_first_not_of(" \t");
    if (b == std::string::npos)
        return 0;
    size_t e = value.find_last_not_of(" \t\r\n");
    int64_t n = 0;
    const char *first = value.data() + b;
    const char *last = value.data() + e + 1;
    auto [ptr, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || ptr != last || n <= 0 || n > MaxMetaint)
        return 0;
    return n;
}

void IcyParser::feed(const uint8_t *data, size_t size, const AudioSink &audio, const MetaSink &meta)
{
    if (m_metaint == 0) {
        if (size > 0)
            audio(data, size);
        m_audioTotal += static_cast<int64_t>(size);
        return;
    }
    size_t i = 0;
    while (i < size) {
        switch (m_state) {
        case State::Audio: {
            const size_t n =
                static_cast<size_t>(std::min<int64_t>(m_audioLeft, static_cast<int64_t>(size - i)));
            audio(data + i, n);
            i += n;
            m_audioLeft -= static_cast<int64_t>(n);
            m_audioTotal += static_cast<int64_t>(n);
            if (m_audioLeft == 0)
                m_state = State::Length;
            break;
        }
        case State::Length:
            m_textLeft = static_cast<size_t>(data[i++]) * 16;
            m_text.clear();
            if (m_textLeft == 0) {
                m_state = State::Audio;
                m_audioLeft = m_metaint;
            } else {
                m_state = State::Text;
            }
            break;
        case State::Text: {
            const size_t n = std::min(m_textLeft, size - i);
            m_text.append(reinterpret_cast<const char *>(data + i), n);
            i += n;
            m_textLeft -= n;
            if (m_textLeft == 0) {
                // The block is padded with NULs up to a multiple of 16.
                const size_t end = m_text.find('\0');
                if (end != std::string::npos)
                    m_text.resize(end);
                if (!m_text.empty())
                    meta(m_text, m_audioTotal);
                m_state = State::Audio;
                m_audioLeft = m_metaint;
            }
            break;
        }
        }
    }
}

} // namespace engine
