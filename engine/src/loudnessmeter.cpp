#include "loudnessmeter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace engine {

namespace {

constexpr double minusInfinity = -std::numeric_limits<double>::infinity();

// The loudness of a mean-square energy and back (ITU-R BS.1770: -0.691 + 10 log10 E).
double energyOf(double lufs)
{
    return std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10.0) : 0.0;
}

double lufsOf(double energy)
{
    return energy > 0 ? -0.691 + 10.0 * std::log10(energy) : minusInfinity;
}

} // namespace

LoudnessMeter::LoudnessMeter(int rate, int channels)
    : m_channels(channels)
    , m_blockFrames(size_t(std::max(rate, 1)) * blockMs / 1000)
    , m_momentary(minusInfinity)
    , m_shortTerm(minusInfinity)
{
    if (rate > 0 && channels > 0)
        m_state = ebur128_init(unsigned(channels), unsigned(rate), EBUR128_MODE_M);
}

LoudnessMeter::~LoudnessMeter()
{
    if (m_state)
        ebur128_destroy(&m_state);
}

void LoudnessMeter::add(const int16_t *frames, size_t count)
{
    if (!m_state || m_blockFrames == 0)
        return;
    // Fed up to each block's end exactly, so that every block is asked for once and alone.
    while (count > 0) {
        const size_t take = std::min(count, m_blockFrames - m_framesInBlock);
        ebur128_add_frames_short(m_state, frames, take);
        frames += take * size_t(m_channels);
        count -= take;
        m_framesInBlock += take;
        if (m_framesInBlock == m_blockFrames)
            completeBlock();
    }
}

void LoudnessMeter::completeBlock()
{
    m_framesInBlock = 0;
    double lufs = minusInfinity;
    if (ebur128_loudness_window(m_state, blockMs, &lufs) != EBUR128_SUCCESS)
        lufs = minusInfinity;
    m_energies[m_blocks % shortTermBlocks] = energyOf(lufs);
    ++m_blocks;
    m_momentary = meanLoudness(momentaryBlocks);
    m_shortTerm = meanLoudness(shortTermBlocks);
}

double LoudnessMeter::meanLoudness(size_t blocks) const
{
    const size_t n = std::min(blocks, m_blocks);
    double sum = 0;
    for (size_t i = 1; i <= n; ++i)
        sum += m_energies[(m_blocks - i) % shortTermBlocks];
    return n > 0 ? lufsOf(sum / double(n)) : minusInfinity;
}

} // namespace engine
