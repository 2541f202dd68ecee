#pragma once

#include <QList>

class VCSource;

// The start-up rule of failover: while sources start together, the first source that connects
// is not put on air when a source ahead of it in the order is still starting (see
// VCSource::isStarting, which ends after a bounded grace). It applies only while nothing is on
// air; a source on air already is never taken off by it.
class VCStartupOrder
{
public:
    // The source to make active instead of `chosen` (which the failover rule picked): the first
    // source ahead of it that is still starting, when no source is on air; otherwise `chosen`.
    static VCSource *apply(const QList<VCSource *> &sources, VCSource *chosen);
};
