#pragma once

#include "vcdemoaudio.h"
#include "vcdevhttpresponse.h"
#include "vcdevstreamsender.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <vector>

class QTcpSocket;

// The demo service's generated stations: up to three endless MP3 channels, each a loop of music
// made at start with a title per pass, sent to its listeners at the pace of its bitrate from a
// live clock they share. Each channel can be switched to silence, stall, trickle or drop its
// listeners.
class VCDevStations : public QObject
{
    Q_OBJECT

public:
    struct Setup
    {
        int count = 3;                // 1 to maxCount
        bool tones = false;           // stream N sends a steady tone of N x 440 Hz instead of music
        int loopBars = 8;             // 1 to 64
        int burstMs = 1000;           // audio a new listener gets at once
        QMap<int, double> toneGainDb; // stream -> level of its tone against half of full scale
    };

    static constexpr int icyMetaInt = 16000;
    static int maxCount();
    // The music of stream (from 1) as planned, before the loop length and tones are applied.
    static VCDemoAudio::Style plannedStyle(int stream);
    // "/stream/<n>.mp3"
    static QString path(int stream);

    explicit VCDevStations(QObject *parent = nullptr);
    ~VCDevStations() override;

    // Makes each channel's music on a thread of its own; false with the reason in *error.
    bool build(const Setup &setup, QString *error);
    // Starts the live clock.
    void goLive() { m_liveClock.start(); }
    qint64 liveMs() const { return m_liveClock.elapsed(); }

    // Streams are numbered from 1.
    int count() const { return int(m_channels.size()); }
    VCDevStreamSender::Mode mode(int stream) const;
    bool setMode(int stream, VCDevStreamSender::Mode mode);
    int listenerCount(int stream) const;
    int totalListeners() const;
    // The title stream plays now; it changes with each pass of the loop.
    QString liveTitle(int stream) const;
    // What stream plays now as JSON, or only its identifier.
    VCDevHttpResponse nowPlaying(int stream, bool idOnly) const;

    // Sends stream to the listener on socket (which it takes over) for the session with this
    // serial number, with ICY titles when icy.
    void addListener(QTcpSocket *socket, int stream, bool icy, int session);
    // Cuts off the listeners of the session.
    void dropSession(int session);

    // Every stream's address, mode, listeners and title, for the status page.
    QJsonArray status() const;

signals:
    void modeChanged(int stream, VCDevStreamSender::Mode mode);

private:
    struct Channel
    {
        QByteArray name;
        QByteArray genre;
        QStringList titles;
        VCDemoAudio audio;
        VCDevStreamSender::Mode mode = VCDevStreamSender::Normal;
        QList<QPointer<VCDevStreamSender>> senders;
    };

    // Loops of the stream's music since the clock started.
    qint64 liveLoop(int stream) const;
    qint64 liveFrame() const;

    std::vector<std::unique_ptr<Channel>> m_channels;
    QElapsedTimer m_liveClock;
    int m_burstMs = 1000;
};
