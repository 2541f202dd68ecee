#pragma once

#include "klplayback.h"
#include "klplayerglobal.h"
#include "klpushplaybackdevice.h"

#include <QPointer>

class KLPlayerInterface;

// Back-end for audio that a library user writes ("push:" addresses; only the scheme counts).
// start() creates a 44100 Hz stereo push stream whose queue holds at most 1 MiB and hands it
// to the push device; stop() takes it away again, so the device accepts data only in between.
class KELVANEPLAYER_EXPORT KLPushPlayback : public KLPlayback
{
    Q_OBJECT

public:
    // Most bytes that may wait in the stream's queue.
    static constexpr DWORD KL_PUSH_LIMIT = 1048576;
    static constexpr DWORD KL_PUSH_FREQ = 44100;
    static constexpr DWORD KL_PUSH_CHANNELS = 2;

    KLPushPlayback(KLPlayerInterface *player, QObject *parent = nullptr);

    // The device to write into; it lives as long as the back-end.
    QPointer<KLPushPlaybackDevice> pushPlaybackDevice() const { return m_device; }

public slots:
    HSTREAM start(QWORD startPos) override;
    HSTREAM start() { return start(0); }
    void stop() override;

protected:
    double speedCoef() override;

private:
    QPointer<KLPushPlaybackDevice> m_device;
};
