#pragma once

#include "klbasstypes.h"
#include "klplayerglobal.h"

#include <QIODevice>

#include <atomic>

class QTimer;

// Write-only device through which a library user feeds a push player: raw interleaved 16-bit
// stereo samples at 44100 Hz, queued into the player's stream.
//
// The stream's queue holds at most its push limit (1 MiB, about 6 s). write() is honest about
// that: it queues as many whole 4-byte frames as fit and returns their byte count, which is 0
// while the queue is full; nothing beyond the returned count is kept. A writer that got less
// than it offered learns when there is room again from bytesWritten(), emitted with the number
// of bytes that have since left the queue, or waits for it with waitForBytesWritten().
// bytesToWrite() tells how many bytes are queued and not yet played.
//
// write() fails (-1) for an empty write, less than one whole frame, before the player started
// its stream and after it stopped it. Reads always fail.
//
// The device belongs to its player's thread. write(), bytesToWrite() and waitForBytesWritten()
// may also be called from one other thread; bytesWritten() is emitted on the player's thread.
class KELVANEPLAYER_EXPORT KLPushPlaybackDevice : public QIODevice
{
    Q_OBJECT

public:
    // Bytes of one frame: two 16-bit samples.
    static constexpr qint64 KL_PUSH_FRAME_BYTES = 4;
    // How often a writer that was cut short is told about new room.
    static constexpr int KL_PUSH_ROOM_POLL_MS = 20;

    explicit KLPushPlaybackDevice(QObject *parent = nullptr);

    bool isSequential() const override { return true; }
    // Bytes queued in the stream and not yet played; 0 without a stream.
    qint64 bytesToWrite() const override;
    // Waits until the queue has room for at least one frame; false on time-out (msecs, -1 for
    // no limit) or when there is no stream.
    bool waitForBytesWritten(int msecs) override;

    // The push stream that writes go to, 0 for none (then writes fail).
    HSTREAM stream() const { return m_stream.load(std::memory_order_acquire); }
    void setStream(HSTREAM stream);

private slots:
    // Watches the queue for room after a write was cut short.
    void startRoomPoll();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    // Queued bytes of handle, -1 when the engine cannot tell.
    static qint64 queuedBytes(HSTREAM handle);
    // Most bytes the queue of handle may hold.
    static qint64 queueLimit(HSTREAM handle);
    void pollRoom();

    std::atomic<HSTREAM> m_stream = 0;
    // Queued bytes when a write was last cut short, -1 when no writer waits for room.
    std::atomic<qint64> m_queuedWhenFull = -1;
    QTimer *m_roomTimer = nullptr;
};
