#pragma once

#include "klplayerglobal.h"
#include "rep_klplayer_merged.h"

#include <QString>
#include <QUrl>

class KLDaast;
class KLNetworkAccessManager;
class KLPlayer;

// A player that plays an audio advertisement each time playback starts. It publishes the
// property model of KLPlayer, owns a KLPlayer that does the stream work and a KLDaast that does
// the ad work, forwards commands to the player and mirrors the player's published values. While
// the ad sounds the stream runs muted and the published state is the ad's; when the ad is about
// to end, ends, is skipped or fails, the stream gets its volume back. Ad failures never stop
// the stream. The level values and deviceFailure of the player are not mirrored.
//
// Lives on one thread with its player and ad, like KLPlayer.
class KELVANEPLAYER_EXPORT KLDaastPlayer : public KLPlayerSimpleSource
{
    Q_OBJECT

    Q_PROPERTY(QString daastUrl READ daastUrl WRITE setDaastUrl NOTIFY daastUrlChanged)

    Q_PROPERTY(
        int daastTimeoutMs READ daastTimeoutMs WRITE setDaastTimeoutMs NOTIFY daastTimeoutMsChanged)

public:
    // Without a network access manager the player makes its own.
    explicit KLDaastPlayer(KLNetworkAccessManager *nam = nullptr, QObject *parent = nullptr);
    ~KLDaastPlayer() override;

    QString daastUrl() const { return m_daastUrl; }
    int daastTimeoutMs() const { return m_daastTimeoutMs; }
    KLDaast *daast() const { return m_daast; }
    KLPlayer *player() const { return m_player; }
    // The listener clicked the ad's banner.
    void daastClick();

signals:
    void daastUrlChanged(const QString &daastUrl);
    void daastTimeoutMsChanged(int daastTimeoutMs);
    void daastStarted(const QString &meta, const QString &imageUrl, const QString &clickUrl);
    void daastError(const QString &message);
    void daastSkipped();
    void daastEnded();

public slots:
    bool setDaastUrl(const QString &daastUrl);
    bool setDaastTimeoutMs(int daastTimeoutMs);
    void setStreamUrl(QUrl streamUrl) override;
    void setIsRestarted(bool isRestarted) override;
    void setPosition(double position) override;
    void setPlaybackRate(double playbackRate) override;
    void setPlayingBitrate(quint32 playingBitrate) override;
    void setPlayingQuality(KLPlayerSource::Quality playingQuality) override;
    void play(QUrl url) override;
    void play() override;
    void pause() override;
    void stop() override;
    void skipForward(double duration) override;
    void skipBackward(double duration) override;

private slots:
    void setStreamUrlValue(const QUrl &streamUrl);
    void setIsRestartedValue(bool isRestarted);
    void setPositionValue(double position);
    void setPlaybackRateValue(double playbackRate);
    void setPlayingBitrateValue(quint32 playingBitrate);
    void setPlayingQualityValue(KLPlayerSource::Quality playingQuality);
    void handleDaastEnd();
    void updateVolume();
    void updateState();
    void updateStateHelpers();

private:
    void mirrorPlayer();
    void holdAd();

    QString m_daastUrl;
    int m_daastTimeoutMs = 0;
    KLPlayer *m_player = nullptr;
    KLDaast *m_daast = nullptr;
};
