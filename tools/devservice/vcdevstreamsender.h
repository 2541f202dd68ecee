#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class QTcpSocket;
class VCDemoAudio;

// Sends one endless MP3 stream to one listener at the pace of its bitrate: first a burst, then
// frame by frame as the clock advances. With ICY metadata the current title is inserted every
// metaInt bytes of audio. The mode can go silent (silent frames instead of music), stall (no
// more bytes, the connection stays open), trickle (music at 70 % of its bitrate, as through a
// congested uplink) or drop (the connection is cut).
class VCDevStreamSender : public QObject
{
    Q_OBJECT

public:
    enum Mode { Normal, Silent, Stall, Drop, Trickle };
    Q_ENUM(Mode)

    struct Setup
    {
        const VCDemoAudio *audio = nullptr;
        QStringList titles;  // one per pass of the music loop, cycled
        QByteArray name;     // icy-name
        QByteArray genre;    // icy-genre
        bool icy = false;    // the listener asked for metadata
        int metaInt = 16000; // audio bytes between metadata blocks
        qint64 startFrame = 0;
        int burstMs = 1000; // audio sent at once before pacing starts
        int tickMs = 20;
        qsizetype maxQueuedBytes = 256 * 1024; // a listener that reads slower falls behind
        int session = 0;                       // serial number of the login that owns the listener
    };

    // Share of real time that a trickling stream delivers.
    static constexpr double trickleRate = 0.7;

    VCDevStreamSender(QTcpSocket *socket, const Setup &setup, Mode mode, QObject *parent = nullptr);
    ~VCDevStreamSender() override;

    Mode mode() const { return m_mode; }
    void setMode(Mode mode);
    int session() const { return m_setup.session; }
    qint64 audioBytesSent() const { return m_audioBytesSent; }

    // Cuts the connection at once.
    void drop();

    static QByteArray metadataBlock(const QString &title);
    static QString modeName(Mode mode);
    static bool modeFromName(QStringView name, Mode *mode);

signals:
    void finished();

private:
    void pump();
    void restartClock(int burstMs);
    void writeFrame(const QByteArray &frame);
    QString titleAt(qint64 frame) const;
    void finish();

    QPointer<QTcpSocket> m_socket;
    Setup m_setup;
    Mode m_mode;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_burstFrames = 0;
    qint64 m_framesSinceClock = 0;
    qint64 m_position = 0; // frame of the endless stream sent next
    qint64 m_audioBytesSent = 0;
    int m_untilMetadata = 0;
    QString m_lastTitle;
    bool m_finished = false;
};
