#pragma once

#include <QtGlobal>

// The failback hold of one source, which keeps a flaky source from taking the air back the
// moment it plays again. A source that lost its connection while it was heard (or while it was
// ahead of the heard source) is held back from failover until it has played without a break for
// the hold time. The first hold lasts firstHoldMs; each further loss within resetAfterMs of the
// previous one doubles it, up to maxHoldMs; after resetAfterMs without a loss the next hold is
// the first one again. A first hold of 0 turns holding off.
//
// The rule has no clock of its own: every call is given the time, in milliseconds of one
// monotonic clock.
class VCFailbackHold
{
public:
    struct Timing
    {
        qint64 firstHoldMs = 30000;
        qint64 maxHoldMs = 300000;
        qint64 resetAfterMs = 600000;
    };

    VCFailbackHold() = default;
    explicit VCFailbackHold(const Timing &timing)
        : m_timing(timing)
    {}

    const Timing &timing() const { return m_timing; }
    // A running hold keeps its length; turning holding off ends it and forgets past losses.
    void setTiming(const Timing &timing);

    // A loss that counts: the source stopped playing at nowMs while it was heard or ahead of
    // the heard source. A hold starts, longer if the previous loss was recent.
    void loseConnection(qint64 nowMs);
    // Any other end of playing (a drop while another source was heard first, a stop on
    // purpose): a hold that is not yet served counts from zero again once the source plays.
    void disconnect(qint64 nowMs);
    // The source plays again from nowMs on.
    void connect(qint64 nowMs);

    bool isHeldBack(qint64 nowMs) const;
    // Time until the source counts again; the whole hold while it does not play; 0 when it is
    // not held back.
    qint64 remainingMs(qint64 nowMs) const;
    // Length of the running or last hold; 0 before the first.
    qint64 holdMs() const { return m_holdMs; }

private:
    bool isServed(qint64 nowMs) const;

    Timing m_timing;
    qint64 m_holdMs = 0;
    qint64 m_lastLossMs = 0;
    bool m_hasLoss = false;
    // A hold was started by a loss and is not served yet.
    bool m_isHolding = false;
    bool m_isConnected = false;
    qint64 m_connectedSinceMs = 0;
};
