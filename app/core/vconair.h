#pragma once

#include "vconairchange.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>

class VCSource;

// Which source is on air: the failover rule that chooses the source to play from the sources in
// their order, and the report of when the source that can be heard changes, or when none can.
class VCOnAir : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The first connected source with sound that is not held back; failing that, the first
    // connected one with sound (a held-back source rather than silence); failing that, the first
    // connected one; failing that, the first; then the start-up rule (see VCStartupOrder).
    static VCSource *choose(const QList<VCSource *> &sources);
    // The first connected source with sound but `excluded` that is not held back; failing that,
    // the first held-back one: what choose() takes when `excluded` drops, so the source that
    // stands by while `excluded` is heard.
    static VCSource *firstWithSound(const QList<VCSource *> &sources, const VCSource *excluded);

    // The source that can be heard now (active, connected and not silent); null when none can.
    VCSource *heardSource() const;

    // Takes `active`, the source now chosen to play, and reports what changed for the listener.
    // A change the operator made (isOperatorChange) is reported as heardSourceChanged() only.
    void update(VCSource *active, const QList<VCSource *> &sources, bool isOperatorChange);
    // A deleted source: one of its address that comes later is heard for the first time.
    void forget(const VCSource *source) { m_sourcesHeard.remove(source); }

signals:
    // The source that can be heard changed (or none can now), for any cause.
    void heardSourceChanged(VCSource *heardSource);
    // The station went over to `heard` by itself, for `reason`; `previous` was heard before
    // (null when nothing could be heard).
    void switched(VCSource *heard, VCSource *previous, VCOnAirChange reason);
    // Nothing can be heard any more although sources are meant to play.
    void nothingOnAir();

private:
    // The source that could be heard at the last update; m_wasHeard tells apart "none could"
    // from "it has been deleted since".
    QPointer<VCSource> m_heardSource;
    bool m_wasHeard = false;
    bool m_nothingHeardReported = false;
    // Sources heard at some time: one that is heard again "came back", one heard for the first
    // time has just started.
    QSet<const VCSource *> m_sourcesHeard;
};
