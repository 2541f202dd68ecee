#include "vconair.h"

#include "vcsource.h"
#include "vcstartuporder.h"

#include <algorithm>

VCSource *VCOnAir::choose(const QList<VCSource *> &sources)
{
    VCSource *chosen = firstWithSound(sources, nullptr);
    if (!chosen) {
        const auto connected = std::find_if(sources.begin(), sources.end(),
                                            [](const VCSource *s) { return s->isConnected(); });
        chosen = connected != sources.end() ? *connected : nullptr;
    }
    if (!chosen && !sources.isEmpty())
        chosen = sources.at(0);
    return VCStartupOrder::apply(sources, chosen);
}

VCSource *VCOnAir::firstWithSound(const QList<VCSource *> &sources, const VCSource *excluded)
{
    VCSource *firstHeldBack = nullptr;
    for (VCSource *source : sources) {
        if (source == excluded || !source->isConnected() || source->isSilentSound())
            continue;
        if (!source->isHeldBack())
            return source;
        if (!firstHeldBack)
            firstHeldBack = source;
    }
    return firstHeldBack;
}

VCSource *VCOnAir::heardSource() const
{
    return m_heardSource;
}

void VCOnAir::update(VCSource *active, const QList<VCSource *> &sources, bool isOperatorChange)
{
    VCSource *heard =
        active && active->isConnected() && !active->isSilentSound() ? active : nullptr;
    VCSource *previous = m_heardSource.data();
    const bool wasHeard = m_wasHeard;
    m_heardSource = heard;
    m_wasHeard = heard != nullptr;
    if (heard == previous && (heard || !wasHeard))
        return;
    emit heardSourceChanged(heard);
    if (isOperatorChange)
        return;

    if (!heard) {
        // Stopped by the operator (a logout, a new login): nothing to tell.
        const bool anyMeantToPlay = std::any_of(sources.begin(), sources.end(),
                                                [](VCSource *s) { return s->shouldPlay(); });
        if (anyMeantToPlay && wasHeard) {
            m_nothingHeardReported = true;
            emit nothingOnAir();
        }
        return;
    }
    if (!previous) {
        m_sourcesHeard.insert(heard);
        // The first source heard after start, or after the heard one was deleted, is no failover.
        if (m_nothingHeardReported)
            emit switched(heard, nullptr, VCOnAirChange::CameBack);
        m_nothingHeardReported = false;
        return;
    }
    m_nothingHeardReported = false;
    const bool cameBack = m_sourcesHeard.contains(heard);
    m_sourcesHeard.insert(heard);
    VCOnAirChange reason = VCOnAirChange::CameBack;
    if (previous->isStalled())
        reason = VCOnAirChange::Stalled;
    else if (!previous->isConnected())
        reason = VCOnAirChange::Disconnected;
    else if (previous->isSilentSound())
        reason = VCOnAirChange::WentSilent;
    else if (!cameBack)
        return; // a source ahead that has just started (a slower start than the one heard)
    emit switched(heard, previous, reason);
}
