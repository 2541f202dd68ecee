#pragma once

#include "klbasstypes.h"
#include "kldaastchain.h"
#include "kldaastparser.h"
#include "klplayerglobal.h"
#include "rep_klplayer_merged.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <mutex>
#include <vector>

class KLPlayer;
class QNetworkReply;

// Plays one audio advertisement for a player. play() requests the ad document from daastUrl
// and, when that is a wrapper, the documents of its chain (KLDaastChain; all within the one
// limit of daastTimeoutMs), plays its linear audio file on an engine stream of its own, reports
// the ad's text and banner through started(), and calls the document's tracking addresses at
// the playback events: start (with the impression), the quartiles, every second of playback
// ("progress0", "progress1", ...), completion, error and click; the addresses of one event
// (the wrappers' first) are called one after another, in document order. state follows the ad in
// the player's state vocabulary. Every way out of an ad ends with exactly one of ended() (after the
// end, stop() or a failure, which also emits error()) or skipped() (no address, or a "nobanner"
// answer).
//
// A child of the player it serves; lives on the player's thread and uses the player's network
// access manager. Like the player, it opens the ad's stream on that thread, which waits for
// the stream's first bytes. Engine notifications reach it queued. The ad plays on the output
// device that the player's first play() opens.
//
// Network input is bounded: the document body (KLDaastParser::maxDocumentSize), and the
// tracking requests of one ad (at most maxProgressEvents per-second events, each answer at most
// maxTrackingBodySize). Log lines and
// error texts name addresses without user information and never the request header lines.
class KELVANEPLAYER_EXPORT KLDaast : public QObject
{
    Q_OBJECT

    Q_PROPERTY(QUrl daastUrl READ daastUrl WRITE setDaastUrl NOTIFY daastUrlChanged)

    Q_PROPERTY(
        int daastTimeoutMs READ daastTimeoutMs WRITE setDaastTimeoutMs NOTIFY daastTimeoutMsChanged)

    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)

    Q_PROPERTY(KLPlayerSource::State state READ state NOTIFY stateChanged)

public:
    static constexpr int defaultTimeoutMs = 5000;
    // Per-second events of one ad; the seconds after the last one are not tracked.
    static constexpr int maxProgressEvents = 600;
    // Body bound of a tracking request: its answer is never read.
    static constexpr qint64 maxTrackingBodySize = 16 * 1024;

    explicit KLDaast(KLPlayer *player);
    ~KLDaast() override;

    QUrl daastUrl() const { return m_daastUrl; }
    int daastTimeoutMs() const { return m_daastTimeoutMs; }
    double volume() const { return m_volume; }
    KLPlayerSource::State state() const { return m_state; }
    // The ad being played (empty when none).
    const KLDaastParser &ad() const { return m_parser; }
    // The engine stream of the ad, 0 when none.
    HSTREAM stream() const { return m_stream; }
    // True while the ad document is being requested.
    bool isRequestRunning() const { return !m_reply.isNull(); }
    // The position events still to come on the ad's stream, in the order they were set.
    QStringList pendingPositionEvents() const;

signals:
    void daastUrlChanged(const QUrl &daastUrl);
    void daastTimeoutMsChanged(int daastTimeoutMs);
    void volumeChanged(double volume);
    void stateChanged(KLPlayerSource::State state);
    void started(const QString &meta, const QString &imageUrl, const QString &clickUrl);
    void error(const QString &message);
    void skipped();
    void ended();
    void aboutToEnd();

public slots:
    bool setDaastUrl(const QUrl &daastUrl);
    bool setDaastTimeoutMs(int daastTimeoutMs);
    bool setVolume(double volume);
    void play();
    void pause();
    void stop();
    void click();

protected slots:
    bool updateState(KLPlayerSource::State state);
    KLPlayerSource::State readState() const;
    void updateState();
    void daastRequestFinished();
    void eventRequestFinished();
    QUrl formatUrl(const QUrl &url) const;
    void startBassPlayback();
    void stopBassPlayback();
    void sendDaastEvent(const QUrl &url);
    bool createDaastPosSync(QWORD pos, const QString &event);
    void handleError(const QString &message);
    void handleStreamEnd();
    void handleStreamStalledChanged(bool isStalled);
    void handleStreamVolume();
    void handleDaastEvent(const QString &event);

private slots:
    // Handles the engine notifications queued since the last call.
    void processSyncs();

private:
    // Requests the document at m_requestUrl within what is left of the chain's time.
    void requestDocument();
    // Calls the addresses one after another, each once the one before has finished.
    void sendDaastEvents(const QStringList &urls);
    QNetworkReply *sendTrackingRequest(const QUrl &url);
    // The steps of startBassPlayback() that set the stream's syncs: the tracking events
    // (quartiles and one per second; returns the bytes of a second, 0 or -1 when unknown), and
    // the about-to-end, stall and end syncs (false after reporting an error).
    QWORD setTrackingSyncs(QWORD length);
    bool setEndSyncs(QWORD length, QWORD second);

    // An engine notification as a sync procedure queued it.
    struct QueuedSync
    {
        HSTREAM channel;
        HSYNC sync;
        DWORD type;
        DWORD data;
    };

    void handleSync(const QueuedSync &queued);
    // The address as it may be printed: no user information, no header lines.
    static QString printable(const QUrl &url);

    static void bassDaastEvent(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void bassEnd(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void bassStalled(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void postSync(void *user, HSYNC sync, DWORD channel, DWORD type, DWORD data);

    QUrl m_daastUrl;
    int m_daastTimeoutMs = defaultTimeoutMs;
    double m_volume = 1.0;
    KLPlayerSource::State m_state = KLPlayerSource::StoppedState;
    QPointer<KLPlayer> m_player;
    QUrl m_requestUrl;
    // The ad's own address as requested (the first of its chain).
    QUrl m_adUrl;
    QPointer<QNetworkReply> m_reply;
    KLDaastChain m_chain;
    QDeadlineTimer m_chainDeadline;
    KLDaastParser m_parser;
    HSTREAM m_stream = 0;
    // Position syncs of the current stream that have not fired yet, in the order they were set.
    QList<QPair<HSYNC, QString>> m_positionEvents;
    quintptr m_callbackSerial = 0;
    // Notifications from engine threads, waiting for this object's thread.
    std::mutex m_syncsMutex;
    std::vector<QueuedSync> m_syncs;
};
