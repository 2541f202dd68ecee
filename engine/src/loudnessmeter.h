#pragma once

#include <ebur128.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

// EBU R128 loudness of one stream's decoded audio: momentary (400 ms) and short-term (3 s), in
// LUFS. libebur128 weights and filters the audio; it is asked for the loudness of each 100 ms
// block as the block completes, and the momentary and short-term values are the mean energies
// of the last 4 and 30 blocks (fewer at the start of a stream), which is how both are defined.
// Asking the library for its 3 s value after every block would add up the 3 s of audio again
// each time, several times the cost of the filtering itself.
//
// One thread feeds and reads it (a channel's producer).
class LoudnessMeter
{
public:
    static constexpr int blockMs = 100;
    static constexpr size_t momentaryBlocks = 4;
    static constexpr size_t shortTermBlocks = 30;

    LoudnessMeter(int rate, int channels);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter &) = delete;
    LoudnessMeter &operator=(const LoudnessMeter &) = delete;

    // False when libebur128 refused the format (or had no memory).
    bool isValid() const { return m_state != nullptr; }
    // Interleaved 16-bit frames in the stream's format.
    void add(const int16_t *frames, size_t count);
    // Minus infinity before the first whole block and for digital silence.
    double momentary() const { return m_momentary; }
    double shortTerm() const { return m_shortTerm; }

private:
    void completeBlock();
    double meanLoudness(size_t blocks) const;

    ebur128_state *m_state = nullptr;
    int m_channels = 0;
    size_t m_blockFrames = 0;
    size_t m_framesInBlock = 0;
    std::array<double, shortTermBlocks> m_energies{};
    size_t m_blocks = 0; // whole blocks so far
    double m_momentary;
    double m_shortTerm;
};

} // namespace engine
