#pragma once

#include "vcdevad.h"
#include "vcdevhlsstation.h"
#include "vcdevhttpparser.h"
#include "vcdevhttpresponse.h"
#include "vcdevoggstation.h"
#include "vcdevplayerapi.h"
#include "vcdevstations.h"
#include "vcdevstreamsender.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QMap>
#include <QObject>

#include <memory>

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
        bool ogg = false;     // a chained Ogg Vorbis station with a title per song, listed last
        int lateStream = 0;   // this stream (1 to 3) answers its listeners lateMs late
        int lateMs = 0;
        QMap<int, double> toneGainDb; // stream -> level of its tone against half of full scale
    };

    static constexpr const char *accountUser = VCDevPlayerApi::accountUser;
    static constexpr const char *accountPassword = VCDevPlayerApi::accountPassword;
    static constexpr int accountUserId = VCDevPlayerApi::accountUserId;
    static constexpr const char *playerVersion = VCDevPlayerApi::playerVersion;
    static constexpr int icyMetaInt = VCDevStations::icyMetaInt;
    static constexpr const char *logoFileName() { return VCDevPlayerApi::logoFileName(); }

    explicit VCDevService(const Options &options, QObject *parent = nullptr);
    ~VCDevService() override;

    // Makes the music and starts listening; false with the reason in *error.
    bool start(QString *error = nullptr);

    quint16 port() const;
    // http://127.0.0.1:<port>
    QString baseUrl() const;

    bool isForbidden() const { return m_api.isForbidden(); }
    void setForbidden(bool forbidden) { m_api.setForbidden(forbidden); }

    int streamCount() const { return m_stations.count(); }
    // Streams are numbered from 1.
    QString streamPath(int stream) const { return VCDevStations::path(stream); }
    VCDevStreamSender::Mode streamMode(int stream) const { return m_stations.mode(stream); }
    bool setStreamMode(int stream, VCDevStreamSender::Mode mode)
    {
        return m_stations.setMode(stream, mode);
    }
    int listenerCount(int stream) const { return m_stations.listenerCount(stream); }

    // The demo ad: while switched to "nobanner" the ad document answers that there is no ad.
    bool isAdNoBanner() const { return m_ad.isNoBanner(); }
    void setAdNoBanner(bool noBanner) { m_ad.setNoBanner(noBanner); }
    // Calls of the ad's tracking addresses by event ("progress" counts every second's event).
    QMap<QString, int> adTracking() const { return m_ad.tracking(); }

    // The HLS station: its master playlist, and whether its higher variant's segments are sent
    // slowly (each one three segment durations late), as through a congested uplink.
    static constexpr const char *hlsPath = VCDevHlsStation::masterPath;
    bool isHlsSlow() const { return m_hlsSlow; }
    void setHlsSlow(bool slow) { m_hlsSlow = slow; }

    // Everything the status page shows.
    QJsonObject status() const;

    // "1.1.15" -> 101150; -1 when the text is not major.minor.patch with minor and patch below 100.
    static qint64 versionCode(const QString &version)
    {
        return VCDevPlayerApi::versionCode(version);
    }

signals:
    // A state report of the session with this serial number was stored.
    void stateReported(int session);
    void streamModeChanged(int stream, VCDevStreamSender::Mode mode);

private:
    bool checkOptions(QString *error);
    bool buildStations(QString *error);
    bool listen(QString *error);
    void acceptConnections();
    void readRequests(QTcpSocket *socket);
    void dispatch(QTcpSocket *socket, const VCDevHttpRequest &request);
    void respond(QTcpSocket *socket, const VCDevHttpRequest &request,
                 const VCDevHttpResponse &response, bool keepAlive);

    // Routes of dispatch; each answers and returns true when the path is its own.
    bool routeStream(QTcpSocket *socket, const VCDevHttpRequest &request);
    bool routeNowPlaying(QTcpSocket *socket, const VCDevHttpRequest &request);
    bool routeApi(QTcpSocket *socket, const VCDevHttpRequest &request);
    bool routeStatus(QTcpSocket *socket, const VCDevHttpRequest &request);
    bool routeFiles(QTcpSocket *socket, const VCDevHttpRequest &request);
    void startStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream);
    void sendStream(QTcpSocket *socket, const VCDevHttpRequest &request, int stream, bool icy,
                    int session);
    void hlsResponse(QTcpSocket *socket, const VCDevHttpRequest &request);
    void startOggStream(QTcpSocket *socket, const VCDevHttpRequest &request);
    VCDevHttpResponse handleControl(const VCDevHttpRequest &request);

    Options m_options;
    VCDevHttpParser m_parser;
    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, QByteArray> m_pending; // connections that send requests, with their input
    VCDevPlayerApi m_api;
    VCDevStations m_stations;
    VCDevAd m_ad;
    std::unique_ptr<VCDevHlsStation> m_hls;
    std::unique_ptr<VCDevOggStation> m_ogg;
    bool m_hlsSlow = false;
    QByteArray m_logo;
    QByteArray m_statusPage;
};
