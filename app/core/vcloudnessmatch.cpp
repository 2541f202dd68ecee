#include "vcloudnessmatch.h"

#include <algorithm>
#include <cmath>

void VCLoudnessMatch::measure(double shortTermLufs, qint64 nowMs)
{
    const qint64 elapsedMs = std::max<qint64>(0, nowMs - m_lastMs);
    m_lastMs = nowMs;
    if (!std::isfinite(shortTermLufs) || shortTermLufs < absoluteGateLufs)
        return;
    if (!m_hasLoudness) {
        m_hasLoudness = true;
        m_loudnessLufs = shortTermLufs;
        return;
    }
    const bool quiet = shortTermLufs < m_loudnessLufs - relativeGateLu;
    if (quiet && !m_isQuiet)
        m_quietSinceMs = nowMs;
    m_isQuiet = quiet;
    if (quiet && nowMs - m_quietSinceMs < quietPassageMaxMs)
        return;
    const double share = 1 - std::exp(-double(elapsedMs) / timeConstantMs);
    m_loudnessLufs += share * (shortTermLufs - m_loudnessLufs);
}

void VCLoudnessMatch::reset()
{
    m_hasLoudness = false;
    m_loudnessLufs = 0;
    m_isQuiet = false;
}

double VCLoudnessMatch::gainDb() const
{
    if (!m_hasLoudness)
        return 0;
    return std::clamp(m_targetLufs - m_loudnessLufs, -maxGainDb, maxGainDb);
}

double VCLoudnessMatch::gain() const
{
    return std::pow(10.0, gainDb() / 20);
}
