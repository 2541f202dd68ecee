#pragma once

#include "klplayback.h"
#include "klplayerglobal.h"

#include <QPointer>

class KLPlayer;

// Back-end for local recording devices ("record:N" addresses).
//
// Not available yet: start() logs that the back-end is missing and gives no stream, so the
// player treats such an address like one that cannot be started (it waits and retries). The
// player already owns and drives this back-end, so that it can be completed without touching
// the player.
class KELVANEPLAYER_EXPORT KLRecordPlayback : public KLPlayback
{
    Q_OBJECT

public:
    KLRecordPlayback(KLPlayer *player, QObject *parent = nullptr);

public slots:
    HSTREAM start(QWORD startPos) override;
    HSTREAM start() { return start(0); }
    void stop() override;

protected:
    double speedCoef() override;

private:
    QPointer<KLPlayer> m_owner;
};
