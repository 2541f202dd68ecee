#pragma once

#include "vcdemoaudio.h"
#include "vcdevhlsstation.h"
#include "vcdevhttpparser.h"
#include "vcdevstreamsender.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

// A stand-in of the broadcasting service for development, demos and end-to-end tests. It serves
// the player API (version check, login and state reports, logout, station logo, new-build
// download) for one demo account, streams two or three endless MP3 channels of generated music
// with ICY titles to the sessions it issued, describes what each channel plays now as JSON, and
// shows every session's latest state report on a web page and as JSON. Each channel can be switched
// to silence, stall or drop its listeners. An audio ad (a DAAST document with a generated jingle,
// a banner and tracking addresses that it counts) can be played before a stream.
class VCDevService : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 0;        // 0: any free port
        bool forbidden = false;  // answer every state request with 403
        QString newBuildVersion; // offered by the version check; empty: this build
        int burstMs = 1000;      // audio a new listener gets at once
        qsizetype maxBodyBytes = VCDevHttpParser::defaultMaxBodyBytes;
        int streamCount = 3; // 1 to 3
        bool tones = false;  // stream N sends a steady tone of N x 440 Hz instead of music
        int loopBars = 8;    // length of each stream's music loop in bars
        int maxConnections = 128;
        int maxSessions = 32; // older sessions are forgotten, ended ones first
        bool hls = false;     // a live HLS station of stream 1's music, listed after the streams
    };

    static constexpr const char *accountUser = "demo";
    static constexpr const char *accountPassword = "demo";
    static constexpr int accountUserId = 4217;
    static constexpr const char *playerVersion = "1.1.15";
    static constexpr int icyMetaInt = 16000;
    static constexpr const char *logoFileName() { return "vellacast-demo-logo.png"; }

    explicit VCDevService(const Options &options, QObject *parent = nullptr);
    ~VCDevService() override;

    // Makes the music and starts listening; false with the reason in *error.
    bool start(QString *error = nullptr);

    quint16 port() const;
    // http://127.0.0.1:<port>
    QString baseUrl() const;

    bool isForbidden() const { return m_options.forbidden; }
    void setForbidden(bool forbidden);

    int streamCount() const { return int(m_channels.size()); }
    // Streams are numbered from 1.
    QString streamPath(int stream) const;
    VCDevStreamSender::Mode streamMode(int stream) const;
    bool setStreamMode(int stream, VCDevStreamSender::Mode mode);
    int listenerCount(int stream) const;

    // The demo ad: while switched to "nobanner" the ad document answers that there is no ad.
    bool isAdNoBanner() const { return m_adNoBanner; }
    void setAdNoBanner(bool noBanner) { m_adNoBanner = noBanner; }
    // Calls of the ad's tracking addresses by event ("progress" counts every second's event).
    QMap<QString, int> adTracking() const { return m_adTracking; }

    // The HLS station: its master playlist, and whether its higher variant's segments are sent
    // slowly (each one three segment durations late), as through a congested uplink.
    static constexpr const char *hlsPath = "/hls/master.m3u8";
    bool isHlsSlow() const { return m_hlsSlow; }
    void setHlsSlow(bool slow) { m_hlsSlow = slow; }

    // Everything the status page shows.
    QJsonObject status() const;

    // "1.1.15" -> 101150; -1 when the text is not major.minor.patch with minor and patch below 100.
    static qint64 versionCode(const QString &version);

signals:
    // A state report of the session with this serial number was stored.
    void stateReported(int session);
    void streamModeChanged(int stream, VCDevStreamSender::Mode mode);

private:
    struct Session
    {
        int serial = 0;
        QString sid;
        QDateTime loginTime;
        bool active = true;
        int reportCount = 0;
        QDateTime lastReportTime;
        QJsonObject lastReport;
    };

    struct Channel
    {
        QByteArray name;
        QByteArray genre;
        QStringList titles;
        VCDemoAudio audio;
        VCDevStreamSender::Mode mode = VCDevStreamSender::Normal;
        QList<QPointer<VCDevStreamSender>> senders;
    };

    struct Response
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
    };

    void acceptConnections();
    void readRequests(QTcpSocket *socket);
    void dispatch(QTcpSocket *socket, const VCDevHttpRequest &request);
    void respond(QTcpSocket *socket, const VCDevHttpRequest &request, const Response &response,
                 bool keepAlive);
    void startStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream);

    Response handleVersion(const VCDevHttpRequest &request) const;
    Response handleState(const VCDevHttpRequest &request);
    Response handleLogout(const VCDevHttpRequest &request);
    Response handleControl(const VCDevHttpRequest &request);
    Response playerAnswer(const Session &session) const;
    QJsonObject buildOffer() const;
    Session *sessionBySid(const QString &sid);
    const Session *sessionFromAuthorization(const QByteArray &authorization) const;
    void endSession(Session &session);
    void forgetOldSessions();
    // Loops of the stream's music since the service started; the title changes with each.
    qint64 liveLoop(int stream) const;
    QString liveTitle(int stream) const;
    Response nowPlaying(int stream, bool idOnly) const;
    // The ad's addresses under /ad/: the document, its jingle, banner, click-through and
    // tracking addresses; false when the path is none of them.
    bool adResponse(const QString &path, Response *response);
    // The HLS station's addresses under /hls/ (with the session's credentials).
    void hlsResponse(QTcpSocket *socket, const VCDevHttpRequest &request);

    static Response textResponse(int status, const QByteArray &text);
    static Response jsonResponse(const QJsonObject &object, int status = 200);
    static QByteArray makeLogo();

    Options m_options;
    VCDevHttpParser m_parser;
    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, QByteArray> m_pending; // connections that send requests, with their input
    std::vector<std::unique_ptr<Channel>> m_channels;
    QList<Session> m_sessions;
    int m_nextSession = 1;
    QElapsedTimer m_liveClock;
    QByteArray m_logo;
    QByteArray m_jingle;
    bool m_adNoBanner = false;
    std::unique_ptr<VCDevHlsStation> m_hls;
    bool m_hlsSlow = false;
    QMap<QString, int> m_adTracking;
    QByteArray m_statusPage;
    QString m_offeredVersion;
    qint64 m_offeredCode = 0;
};
