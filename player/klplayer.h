#pragma once

#include "klbasstypes.h"
#include "klnetworkaccessmanager.h"
#include "klplayerglobal.h"
#include "klplayerinterface.h"
#include "klplaylisttypes.h"
#include "klpushplaybackdevice.h"
#include "rep_klplayer_merged.h"

#include <QPointer>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>
#include <utility>

class QTimer;
class KLPlaylistParser;
class KLPlayerBackends;
class KLEngineSyncs;
class KLHandOver;
class KLPlayerMeter;
struct KLEngineNotification;

// One stream player. It resolves streamUrl with its playlist parser, plays the result through one
// of its four back-ends (internet or local file, HLS, pushed audio, recording device), follows
// the engine's notifications, retries after failures and publishes everything it knows through
// the properties of KLPlayerSimpleSource.
//
// A player and everything it owns live on the thread the player belongs to; call its slots there
// (or post them). Players on different threads may be created, started and destroyed at the
// same time: the first player configures the engine, the first play() opens the output device
// (KLBass::outputDevice) and the last player to go closes it.
class KELVANEPLAYER_EXPORT KLPlayer : public KLPlayerSimpleSource, public KLPlayerInterface
{
    Q_OBJECT

    Q_PROPERTY(QPointer<KLNetworkAccessManager> nam READ nam NOTIFY namChanged)

public:
    // Default interval of the retry after a failed start.
    static constexpr int KL_PLAYER_RESTART_INTERVAL_MS = 5000;
    // Lowest bitrates (bit/s) of the middle and the high quality; below the first is low.
    static constexpr uint KL_PLAYER_MID_QUALITY_BITRATE = 48000;
    static constexpr uint KL_PLAYER_HIGH_QUALITY_BITRATE = 88000;

    explicit KLPlayer(QObject *parent = nullptr);
    explicit KLPlayer(KLNetworkAccessManager *nam, QObject *parent = nullptr);
    ~KLPlayer() override;

    QObject *playerObject() override { return this; }
    // The network manager of all requests of this player; null once it is gone.
    KLNetworkAccessManager *nam() const override { return m_nam.data(); }
    QString playerName() const override { return m_name; }
    // The handle being played, 0 when none. Safe to read from any thread.
    HSTREAM stream() const override { return m_stream.load(std::memory_order_acquire); }
    // The same, for another player's standby (setStandby): it may be kept and read on any thread
    // for as long as anyone holds it, also after this player is gone (it then reads 0).
    std::shared_ptr<const std::atomic<HSTREAM>> streamCell() const { return m_streamCell; }
    // A hand-over prepared in advance: while this player's stream is heard and runs dry (it
    // stalls or ends), the engine's mixing thread raises the stream in `standby` to `volume` (over
    // 20 ms, against a click) in the same mixing period. News of the stall reaches the caller only
    // after it crossed the engine's and the player's threads, and the listener would hear that
    // time as silence. After a raise the player emits handedOver(); the caller then decides
    // which stream is heard and calls applyVolume() on the standby's player, whose own volume
    // did not change. A null standby disarms. Any thread.
    void setStandby(std::shared_ptr<const std::atomic<HSTREAM>> standby, double volume);

    // The playing bitrate for an adaptive-bitrate coefficient between 0 and 1.
    uint bitrateByCoef(double coef) const override;
    // One of the addresses that streams holds for bitrate, chosen at random; empty when none.
    QUrl streamByBitrate(uint bitrate) const override;
    // File position of the current handle in the given BASS_FILEPOS_* mode; 0 without a handle
    // or when the engine cannot tell.
    QWORD streamFilePosition(DWORD mode) const;
    QWORD streamFilePosCurrent() const;
    QWORD streamFilePosEnd() const;
    QWORD streamFilePosBuffer() const;
    // Bytes of this player's streams that arrived from the network (internet streams and HLS
    // segments) since it was made, over every reconnection; never goes down. Safe to read from
    // any thread.
    quint64 receivedBytes() const;
    // The device into which audio for a "push:" address is written (see KLPushPlaybackDevice);
    // it exists as long as the player and takes data while such an address plays.
    QPointer<KLPushPlaybackDevice> pushPlaybackDevice() const;

    // Delay of the retry after a failed start (KL_PLAYER_RESTART_INTERVAL_MS unless changed).
    int restartIntervalMs() const;
    void setRestartIntervalMs(int restartIntervalMs);

    // Number of living players in the process.
    static int playersCount();
    // Closes the output device and opens it again on KLBass::outputDevice, under the same lock
    // as the players' own opening and closing of it. Streams on the device go with it: stop the
    // players first and play them again after. Does nothing while no player has opened the
    // device (the next play() opens it on the new device).
    static void reopenOutputDevice();

signals:
    void namChanged(QPointer<KLNetworkAccessManager> nam);
    // The standby was raised as this player's stream ran dry (after the stall's or the end's
    // state changes were emitted).
    void handedOver();

public slots:
    void play(QUrl url) override;
    void play() override;
    void pause() override;
    void stop() override;
    void skipForward(double duration) override;
    void skipBackward(double duration) override;
    // Writing the position seeks.
    void setPosition(double position) override;
    // Sets the stream's volume to the player's own again (undoing another player's hand-over).
    void applyVolume();

protected slots:
    bool updateNam(QPointer<KLNetworkAccessManager> nam);

private slots:
    void handlePlaylist(KLPlaylistStreams streams, bool isHls);
    void restart();
    void setPositionValue(double position);
    void updateIsSeekable();
    void updateStateHelpers();
    void updateAvailableBitrates();
    void updatePlayingBitrates();
    void updateCurrentQuality();
    void changePosition(double position);
    void changePlaybackRate();
    void changeVolume();
    void changeVolume(double volume, uint timeMs = 0);
    // Post the engine notifications' handlers to the player's thread for the current handle.
    // streamStalled(true) reports a stall, streamStalled(false) the resumption.
    void streamStalled(bool stalled);
    void streamEnd();
    void handleDeviceFailure();
    double streamBytesToSeconds(QWORD bytes, QString name = QString());
    void processStop(KLPlayerSource::State state = StoppedState, QWORD startBytePos = 0);
    void processPlay();
    void processError(QString message);
    double volumeLevel();
    void resetStreamInfo();

private:
    // The meter publishes the measured properties, whose writers are the player's own.
    friend class KLPlayerMeter;
    // The back-ends' reports change the player's properties and call its private slots.
    friend class KLPlayerBackends;
    enum class Release { Stop, Free };

    void construct(KLNetworkAccessManager *nam);
    // The steps of construct().
    void createTimers();
    void connectOwnSignals();
    // Counts this player among the engine's users (the first configures the engine).
    void registerPlayer();
    void tearDown(Release release, QWORD startBytePos, State state);
    void restartKeepingPlayState();
    void handleStreamUrlChange();
    void startHandle();
    // An engine notification of a handle (0: the current one), on the player's thread.
    void handleNotification(const KLEngineNotification &queued);

    QPointer<KLNetworkAccessManager> m_nam;
    QString m_name;
    KLPlayerMeter *m_meter = nullptr;
    std::atomic<HSTREAM> m_stream = 0;
    // Sample rate of the current handle, 0 without one: the base of the playback rate.
    DWORD m_streamFreq = 0;
    QWORD m_startBytePos = 0;
    QTimer *m_restartTimer = nullptr;
    KLPlaylistParser *m_parser = nullptr;
    std::unique_ptr<KLPlayerBackends> m_backends;
    KLEngineSyncs *m_syncs = nullptr;
    std::unique_ptr<KLHandOver> m_handOver;
    std::shared_ptr<std::atomic<HSTREAM>> m_streamCell = std::make_shared<std::atomic<HSTREAM>>(0);
    quintptr m_serial = 0;
};
