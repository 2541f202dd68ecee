#pragma once

#include "klplayback.h"
#include "klplayerglobal.h"

#include <atomic>
#include <optional>

class KLPlayerInterface;

// Back-end for local recording devices ("record:N", N the engine's recording-device number,
// -1 for the default device). start() opens the device, records from it at 44100 Hz in the
// device's channel count and feeds every recorded block into a push stream (at most 1 MiB
// queued), which it hands to the player. When the device fails (it is unplugged), the stream is
// marked as ending: it plays out what is queued and ends, and the player handles the end.
//
// start(), stop() and resetAndFree() run on the player's thread: the engine keeps the current
// recording device per thread. The recording callback and the device-failure sync run on engine
// threads and touch nothing but this back-end's stream handle and the engine.
class KELVANEPLAYER_EXPORT KLRecordPlayback : public KLPlayback
{
    Q_OBJECT

public:
    static constexpr DWORD KL_RECORD_FREQ = 44100;
    // Channels of the push stream when the device does not tell its own.
    static constexpr DWORD KL_RECORD_DEFAULT_CHANNELS = 2;
    // Most bytes that may wait in the push stream's queue.
    static constexpr DWORD KL_RECORD_PUSH_LIMIT = 1048576;

    KLRecordPlayback(KLPlayerInterface *player, QObject *parent = nullptr);
    ~KLRecordPlayback() override;

public slots:
    HSTREAM start(QWORD startPos) override;
    HSTREAM start() { return start(0); }
    void stop() override;

protected:
    double speedCoef() override;
    // Frees the recording channel and the recording device and forgets them.
    void resetAndFree();
    // Channels of the push stream for a device with this information: the device's own
    // count, or KL_RECORD_DEFAULT_CHANNELS when it gives none.
    static DWORD streamChannels(const BASS_RECORDINFO &info);

    static BOOL bassRecordProc(HRECORD handle, const void *buffer, DWORD length, void *user);
    static void bassRecordDevFailSync(HSYNC handle, DWORD channel, DWORD data, void *user);

private:
    // The steps of start(); each logs what failed.
    std::optional<int> deviceFromUrl() const; // the device number in "record:<n>"
    bool openDevice(int device);
    bool startRecording(int device, BASS_RECORDINFO &info);
    HSTREAM createPushStream(const BASS_RECORDINFO &info);

    void recorded(const void *buffer, DWORD length, bool &keepRecording);
    void deviceFailed();

    QString m_name;
    bool m_initialized = false;
    int m_device = 0;
    HRECORD m_recordChannel = 0;
    // The push stream that recorded blocks go to; 0 until it exists.
    std::atomic<HSTREAM> m_pushStream = 0;
    // The queue was full and recorded audio was dropped (logged once per overflow).
    std::atomic<bool> m_overflowing = false;
    // The engine's callbacks know this back-end by this serial (see KLCallbackRegistry).
    quintptr m_callbackSerial = 0;
};
