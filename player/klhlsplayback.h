#pragma once

#include "klplayback.h"
#include "klplayerglobal.h"

class KLPlayerInterface;

// Back-end for HLS streams (master and media playlists).
//
// Not available yet: start() logs that the back-end is missing and gives no stream, so the
// player treats such an address like one that cannot be started (it waits and retries). The
// player already owns and drives this back-end, so that it can be completed without touching
// the player.
class KELVANEPLAYER_EXPORT KLHlsPlayback : public KLPlayback
{
    Q_OBJECT

public:
    KLHlsPlayback(KLPlayerInterface *player, QObject *parent = nullptr);

signals:
    // A failure of the HLS stream that ends playback; the player turns it into its error state.
    void error(QString errorMessage);

public slots:
    HSTREAM start(QWORD startPos) override;
    HSTREAM start() { return start(0); }
    void stop() override;

protected:
    double speedCoef() override;

private:
};
