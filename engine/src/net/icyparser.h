#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace engine {

// Splits an ICY response body into audio and the metadata blocks interleaved in it: after every
// `metaint` audio bytes comes one length byte L and L * 16 bytes of metadata text (at most 4080).
// Works on blocks of any size, so a block boundary may fall anywhere, even inside the length
// byte or the text.
class IcyParser
{
public:
    using AudioSink = std::function<void(const uint8_t *data, size_t size)>;
    // Metadata text without its padding, and the number of audio bytes that preceded it.
    using MetaSink = std::function<void(const std::string &text, int64_t audioOffset)>;

    static constexpr size_t MaxMetaBytes = 255 * 16;

    // metaint 0 means no metadata: every byte is audio.
    explicit IcyParser(int64_t metaint = 0);

    int64_t metaint() const { return m_metaint; }
    // Audio bytes passed on so far.
    int64_t audioBytes() const { return m_audioTotal; }

    void feed(const uint8_t *data, size_t size, const AudioSink &audio, const MetaSink &meta);

    // Parses an "icy-metaint" header value; 0 when it is absent, malformed or out of range.
    static int64_t parseMetaint(const std::string &value);

private:
    enum class State { Audio, Length, Text };

    int64_t m_metaint = 0;
    int64_t m_audioLeft = 0;
    int64_t m_audioTotal = 0;
    size_t m_textLeft = 0;
    State m_state = State::Audio;
    std::string m_text;
};

} // namespace engine
