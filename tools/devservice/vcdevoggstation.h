#pragma once

#include "vcdemoaudio.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class QTcpSocket;

// A live Ogg Vorbis station as internet radio servers send one: a chained stream with a link per
// song, each with a comment header of its own (ARTIST and TITLE), the songs cycled for ever. A
// song is one pass of the service's music, encoded at start. A new listener starts at the
// beginning of the song that plays now, gets a burst and then the rest at the pace of the
// audio. The answer names no bitrate, so that a player measures it.
class VCDevOggStation : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *path = "/ogg/station.ogg";
    static constexpr int bitrate = 96000; // the encoder's nominal bitrate
    // "ARTIST - TITLE" of each song, in the order they play.
    static QStringList titles();

    explicit VCDevOggStation(QObject *parent = nullptr);

    // Decodes the music of style and encodes a link per song; false with the reason in *error.
    bool build(const VCDemoAudio::Style &style, QString *error);

    qint64 songMs() const { return m_songMs; }
    // The song (from 0) that plays at elapsedMs since the station went live.
    int songAt(qint64 elapsedMs) const;
    QString titleAt(qint64 elapsedMs) const { return titles().at(songAt(elapsedMs)); }
    // The encoded link of a song.
    const QByteArray &link(int song) const { return m_links.at(song); }

    // Sends the station to the listener on socket (which it takes over) for the session with
    // this serial number; the head of the answer has been written.
    void addListener(QTcpSocket *socket, qint64 elapsedMs, int burstMs, int session);
    // Cuts off the listeners of the session.
    void dropSession(int session);
    int listenerCount() const { return int(m_listeners.size()); }

private:
    struct Listener
    {
        QPointer<QTcpSocket> socket;
        int session = 0;
        int song = 0;
        qsizetype offset = 0; // in the song's link
        double sentMs = 0;    // audio sent, in ms
        int burstMs = 0;
        QElapsedTimer clock;
    };

    void pump();
    // Writes what is due to the listener; false once its connection is gone.
    bool feed(Listener &listener);

    QList<QByteArray> m_links;
    qint64 m_songMs = 0;
    QList<Listener> m_listeners;
    QTimer m_timer;
};
