#include "klpushplaybackdevice.h"

#include "klbass.h"

#include <bass.h>

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>

KLPushPlaybackDevice::KLPushPlaybackDevice(QObject *parent)
    : QIODevice(parent)
    , m_roomTimer(new QTimer(this))
{
    m_roomTimer->setInterval(KL_PUSH_ROOM_POLL_MS);
    connect(m_roomTimer, &QTimer::timeout, this, &KLPushPlaybackDevice::pollRoom);
}

void KLPushPlaybackDevice::setStream(HSTREAM stream)
{
    m_stream.store(stream, std::memory_order_release);
    m_queuedWhenFull.store(-1, std::memory_order_relaxed);
    m_roomTimer->stop();
}

qint64 KLPushPlaybackDevice::queuedBytes(HSTREAM handle)
{
    const DWORD queued = BASS_StreamPutData(handle, nullptr, 0);
    return queued == DWORD(-1) ? -1 : qint64(queued);
}

qint64 KLPushPlaybackDevice::queueLimit(HSTREAM handle)
{
    float limit = 0;
    if (!BASS_ChannelGetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, &limit) || limit < 1)
        return 0;
    return qint64(limit);
}

qint64 KLPushPlaybackDevice::bytesToWrite() const
{
    const HSTREAM handle = stream();
    return handle ? std::max<qint64>(queuedBytes(handle), 0) : 0;
}

qint64 KLPushPlaybackDevice::readData(char *data, qint64 maxSize)
{
    Q_UNUSED(data)
    Q_UNUSED(maxSize)
    return -1;
}

qint64 KLPushPlaybackDevice::writeData(const char *data, qint64 maxSize)
{
    const HSTREAM handle = stream();
    if (maxSize < 1 || !handle)
        return -1;
    if (maxSize < KL_PUSH_FRAME_BYTES) {
        setErrorString(QStringLiteral("Push playback: a write must hold whole 4-byte frames"));
        return -1;
    }

    const qint64 queued = queuedBytes(handle);
    const qint64 limit = queueLimit(handle);
    if (queued < 0 || limit < 1) {
        setErrorString(KLBass::errorMessage());
        return -1;
    }

    // Whole frames only, and no more than the queue takes: the engine refuses a block that would
    // pass the limit as a whole.
    const qint64 room = std::max<qint64>(limit - queued, 0);
    qint64 take = std::min(maxSize, room) / KL_PUSH_FRAME_BYTES * KL_PUSH_FRAME_BYTES;
    if (take > 0 && BASS_StreamPutData(handle, data, DWORD(take)) == DWORD(-1)) {
        if (BASS_ErrorGetCode() != BASS_ERROR_BUSY) {
            setErrorString(KLBass::errorMessage());
            return -1;
        }
        // Another writer filled the queue meanwhile: nothing of this block was taken.
        take = 0;
    }

    if (take < maxSize / KL_PUSH_FRAME_BYTES * KL_PUSH_FRAME_BYTES) {
        // Cut short by a full queue: tell the writer when it has drained a little.
        qint64 expected = -1;
        m_queuedWhenFull.compare_exchange_strong(expected, queued + take,
                                                 std::memory_order_relaxed);
        // Posted by name: a writer on another thread shares nothing with this one but the call.
        QMetaObject::invokeMethod(this, "startRoomPoll", Qt::AutoConnection);
    }
    return take;
}

void KLPushPlaybackDevice::startRoomPoll()
{
    if (stream() && m_queuedWhenFull.load(std::memory_order_relaxed) >= 0)
        m_roomTimer->start();
}

void KLPushPlaybackDevice::pollRoom()
{
    const HSTREAM handle = stream();
    const qint64 before = m_queuedWhenFull.load(std::memory_order_relaxed);
    if (!handle || before < 0) {
        m_roomTimer->stop();
        return;
    }
    const qint64 queued = queuedBytes(handle);
    if (queued < 0) {
        m_roomTimer->stop();
        m_queuedWhenFull.store(-1, std::memory_order_relaxed);
        return;
    }
    if (queued + KL_PUSH_FRAME_BYTES > queueLimit(handle))
        return;
    m_roomTimer->stop();
    m_queuedWhenFull.store(-1, std::memory_order_relaxed);
    emit bytesWritten(std::max<qint64>(before - queued, KL_PUSH_FRAME_BYTES));
}

bool KLPushPlaybackDevice::waitForBytesWritten(int msecs)
{
    QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(msecs));
    for (;;) {
        const HSTREAM handle = stream();
        if (!handle)
            return false;
        const qint64 queued = queuedBytes(handle);
        if (queued < 0)
            return false;
        if (queued + KL_PUSH_FRAME_BYTES <= queueLimit(handle))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
}
