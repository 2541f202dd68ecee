#include "vcdevstreamsender.h"

#include "vcdemoaudio.h"

#include <QTcpSocket>

VCDevStreamSender::VCDevStreamSender(QTcpSocket *socket, const Setup &setup, Mode mode,
                                     QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_setup(setup)
    , m_mode(mode)
    , m_position(setup.startFrame)
    , m_untilMetadata(setup.metaInt)
{
    Q_ASSERT(setup.audio && !setup.audio->musicFrames().isEmpty());
    Q_ASSERT(setup.metaInt > 0);
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, this, &VCDevStreamSender::finish);
    connect(socket, &QTcpSocket::errorOccurred, this, &VCDevStreamSender::finish);
    // Whatever the listener sends from now on is read and thrown away.
    connect(socket, &QTcpSocket::readyRead, socket,
            [socket]() { socket->skip(socket->bytesAvailable()); });

    QByteArray head = "HTTP/1.1 200 OK\r\n"
                      "Content-Type: audio/mpeg\r\n"
                      "Cache-Control: no-cache, no-store\r\n"
                      "Connection: close\r\n"
                      "icy-name: " +
                      setup.name + "\r\nicy-genre: " + setup.genre + "\r\nicy-pub: 0\r\nicy-br: " +
                      QByteArray::number(setup.audio->bitrate() / 1000) + "\r\n";
    if (setup.icy)
        head += "icy-metaint: " + QByteArray::number(setup.metaInt) + "\r\n";
    head += "\r\n";
    socket->write(head);

    restartClock(setup.burstMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(setup.tickMs);
    connect(&m_timer, &QTimer::timeout, this, &VCDevStreamSender::pump);
    m_timer.start();
    pump();
}

VCDevStreamSender::~VCDevStreamSender()
{
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
    }
}

void VCDevStreamSender::setMode(Mode mode)
{
    if (mode == m_mode)
        return;
    const Mode old = m_mode;
    m_mode = mode;
    if (mode == Drop) {
        drop();
        return;
    }
    // After a stall, and whenever the pace changes, the stream goes on from where it is, without
    // catching up.
    if (old == Stall || old == Trickle || mode == Trickle)
        restartClock(0);
    pump();
}

void VCDevStreamSender::drop()
{
    if (m_socket)
        m_socket->abort();
    finish();
}

QByteArray VCDevStreamSender::metadataBlock(const QString &title)
{
    if (title.isNull())
        return QByteArray(1, '\0');
    QByteArray text = "StreamTitle='" + title.toUtf8() + "';";
    // The length byte counts 16-byte units, so a block holds at most 255 * 16 bytes.
    if (text.size() > 255 * 16)
        text.truncate(255 * 16);
    const int units = int((text.size() + 15) / 16);
    text.append(QByteArray(units * 16 - text.size(), '\0'));
    return char(units) + text;
}

QString VCDevStreamSender::modeName(Mode mode)
{
    switch (mode) {
    case Normal:
        return QStringLiteral("normal");
    case Silent:
        return QStringLiteral("silent");
    case Stall:
        return QStringLiteral("stall");
    case Drop:
        return QStringLiteral("drop");
    case Trickle:
        return QStringLiteral("trickle");
    }
    return {};
}

bool VCDevStreamSender::modeFromName(QStringView name, Mode *mode)
{
    for (Mode m : {Normal, Silent, Stall, Drop, Trickle}) {
        if (name == modeName(m)) {
            *mode = m;
            return true;
        }
    }
    return false;
}

void VCDevStreamSender::restartClock(int burstMs)
{
    m_clock.start();
    m_framesSinceClock = 0;
    m_burstFrames = qint64(burstMs) * 1000 / VCDemoAudio::frameDurationUs();
}

void VCDevStreamSender::pump()
{
    if (m_finished || !m_socket || m_mode == Stall || m_mode == Drop)
        return;
    if (m_socket->bytesToWrite() > m_setup.maxQueuedBytes) {
        // The listener does not keep up: let it fall behind rather than queue without end.
        restartClock(0);
        return;
    }
    // Frames due since the clock started, counted in samples to keep the exact rate.
    qint64 elapsedUs = m_clock.nsecsElapsed() / 1000;
    if (m_mode == Trickle)
        elapsedUs = qint64(double(elapsedUs) * trickleRate);
    const qint64 due = m_burstFrames +
                       elapsedUs * VCDemoAudio::sampleRate / 1000000 / VCDemoAudio::samplesPerFrame;
    const QList<QByteArray> &frames =
        m_mode == Silent ? m_setup.audio->silenceFrames() : m_setup.audio->musicFrames();
    while (m_framesSinceClock < due) {
        writeFrame(frames.at(m_position % frames.size()));
        ++m_position;
        ++m_framesSinceClock;
    }
}

QString VCDevStreamSender::titleAt(qint64 frame) const
{
    if (m_setup.titles.isEmpty())
        return QString();
    const qint64 loop = frame / m_setup.audio->musicFrames().size();
    return m_setup.titles.at(loop % m_setup.titles.size());
}

void VCDevStreamSender::writeFrame(const QByteArray &frame)
{
    m_audioBytesSent += frame.size();
    if (!m_setup.icy) {
        m_socket->write(frame);
        return;
    }
    qsizetype offset = 0;
    while (offset < frame.size()) {
        const qsizetype chunk = std::min<qsizetype>(frame.size() - offset, m_untilMetadata);
        m_socket->write(frame.constData() + offset, chunk);
        offset += chunk;
        m_untilMetadata -= int(chunk);
        if (m_untilMetadata == 0) {
            // The title is sent when it changes (and first of all); otherwise an empty block.
            const QString title = titleAt(m_position);
            m_socket->write(metadataBlock(title == m_lastTitle ? QString() : title));
            m_lastTitle = title;
            m_untilMetadata = m_setup.metaInt;
        }
    }
}

void VCDevStreamSender::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer.stop();
    emit finished();
}
