#include "vcfailbackhold.h"

#include <algorithm>

void VCFailbackHold::setTiming(const Timing &timing)
{
    m_timing = timing;
    if (m_timing.firstHoldMs <= 0) {
        m_isHolding = false;
        m_hasLoss = false;
    }
}

void VCFailbackHold::loseConnection(qint64 nowMs)
{
    m_isConnected = false;
    if (m_timing.firstHoldMs <= 0) {
        m_isHolding = false;
        m_hasLoss = false;
        return;
    }
    const bool recent = m_hasLoss && nowMs - m_lastLossMs < m_timing.resetAfterMs;
    const qint64 longest = std::max(m_timing.maxHoldMs, m_timing.firstHoldMs);
    m_holdMs = recent ? std::min(2 * m_holdMs, longest) : m_timing.firstHoldMs;
    m_lastLossMs = nowMs;
    m_hasLoss = true;
    m_isHolding = true;
}

void VCFailbackHold::disconnect(qint64 nowMs)
{
    if (m_isHolding && isServed(nowMs))
        m_isHolding = false;
    m_isConnected = false;
}

void VCFailbackHold::connect(qint64 nowMs)
{
    if (m_isConnected)
        return;
    m_isConnected = true;
    m_connectedSinceMs = nowMs;
}

bool VCFailbackHold::isServed(qint64 nowMs) const
{
    return m_isConnected && nowMs - m_connectedSinceMs >= m_holdMs;
}

bool VCFailbackHold::isHeldBack(qint64 nowMs) const
{
    return m_timing.firstHoldMs > 0 && m_isHolding && !isServed(nowMs);
}

qint64 VCFailbackHold::remainingMs(qint64 nowMs) const
{
    if (!isHeldBack(nowMs))
        return 0;
    return m_isConnected ? m_holdMs - (nowMs - m_connectedSinceMs) : m_holdMs;
}
