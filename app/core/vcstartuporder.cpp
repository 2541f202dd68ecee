#include "vcstartuporder.h"

#include "vcsource.h"

#include <algorithm>

VCSource *VCStartupOrder::apply(const QList<VCSource *> &sources, VCSource *chosen)
{
    const bool isOnAir = std::any_of(sources.cbegin(), sources.cend(), [](VCSource *source) {
        return source->isActive() && source->isConnected();
    });
    if (isOnAir || !chosen)
        return chosen;
    for (VCSource *source : sources) {
        if (source == chosen)
            break;
        if (source->isStarting())
            return source;
    }
    return chosen;
}
