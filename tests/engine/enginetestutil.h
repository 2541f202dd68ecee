#pragma once

// Helpers shared by the engine's tests: generated audio files of known content and a recorder
// for sync callbacks.

#include "tonesamples.h"

#include <bass.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <deque>
#include <mutex>
#include <vector>

namespace enginetest {

// Writes a stereo tone (440 Hz, amplitude `amplitude` on both channels) of `seconds` at
// `rate` into `dir` with the ffmpeg program, encoded as `codecArgs`. Returns the path, or an
// empty string when ffmpeg failed.
inline QString makeTone(const QTemporaryDir &dir, const QString &name, double seconds,
                        const QStringList &codecArgs, int rate = 44100, double amplitude = 0.5)
{
    const QString path = dir.filePath(name);
    const QString wave = QStringLiteral("%1*sin(2*PI*440*t)").arg(amplitude);
    QStringList args{QStringLiteral("-v"),
                     QStringLiteral("error"),
                     QStringLiteral("-y"),
                     QStringLiteral("-f"),
                     QStringLiteral("lavfi"),
                     QStringLiteral("-i"),
                     QStringLiteral("aevalsrc=%1|%1:s=%2:d=%3").arg(wave).arg(rate).arg(seconds)};
    args << codecArgs << path;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    return path;
}

// Writes the same tone as a 16-bit WAV file without any helper program (no fork: safe in
// ThreadSanitizer runs). Returns the path, or an empty string when it cannot.
inline QString writeToneWav(const QTemporaryDir &dir, const QString &name, double seconds,
                            double amplitude = 0.5)
{
    const QString path = dir.filePath(name);
    return ::writeToneWav(path, seconds, amplitude) ? path : QString();
}

inline QStringList wavArgs()
{
    return {QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")};
}

// Collects (type, data) pairs of sync callbacks from any thread.
class SyncRecorder
{
public:
    struct Call
    {
        DWORD type;
        DWORD channel;
        DWORD data;
    };
    struct Tag
    {
        SyncRecorder *recorder;
        DWORD type;
    };

    HSYNC attach(HSTREAM handle, DWORD type, QWORD param = 0)
    {
        m_tags.push_back(Tag{this, type & ~DWORD(BASS_SYNC_ONETIME)});
        return BASS_ChannelSetSync(handle, type, param, &SyncRecorder::callback, &m_tags.back());
    }
    std::vector<Call> calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    int count(DWORD type) const
    {
        int n = 0;
        for (const Call &c : calls())
            n += c.type == type;
        return n;
    }
    std::vector<DWORD> dataOf(DWORD type) const
    {
        std::vector<DWORD> out;
        for (const Call &c : calls()) {
            if (c.type == type)
                out.push_back(c.data);
        }
        return out;
    }

private:
    static void callback(HSYNC, DWORD channel, DWORD data, void *user)
    {
        auto *tag = static_cast<Tag *>(user);
        std::lock_guard lock(tag->recorder->m_mutex);
        tag->recorder->m_calls.push_back(Call{tag->type, channel, data});
    }

    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    std::deque<Tag> m_tags;
};

inline double seconds(HSTREAM h)
{
    return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
}

inline float rmsLevel(HSTREAM h, float window = 0.02f)
{
    float level = -1;
    if (!BASS_ChannelGetLevelEx(h, &level, window, BASS_LEVEL_MONO | BASS_LEVEL_RMS))
        return -1;
    return level;
}

// Lets h play until its position has advanced by span seconds and checks that this took
// span / rate seconds of wall-clock time. Returns an empty string, or what went wrong.
//
// The bounds allow for a loaded machine without losing the faults: the "No sound" device runs
// at most 200 ms behind the clock before it gives up catching up, so a position can gain that
// much on the clock, but no more (a device that does not pace itself gains far more); and a
// late device thread only makes the span take longer, so the upper bound is wide (half again,
// plus 0.3 s) yet still fails a position that stands still or moves at the wrong rate.
inline QString checkPlaysInRealTime(HSTREAM h, double span, double rate = 1.0)
{
    const double start = seconds(h);
    QElapsedTimer clock;
    clock.start();
    const double expected = span / rate;
    const QDeadlineTimer deadline(qint64((2 * expected + 5) * 1000));
    double advanced = 0;
    while ((advanced = seconds(h) - start) < span && !deadline.hasExpired())
        QTest::qWait(5);
    const double wall = clock.nsecsElapsed() / 1e9;
    const QString figures = QStringLiteral("%1 s of audio in %2 s").arg(advanced).arg(wall);
    if (advanced < span)
        return QStringLiteral("too slow: ") + figures;
    if (advanced > rate * (wall + 0.22))
        return QStringLiteral("ahead of the clock: ") + figures;
    if (wall > 1.5 * expected + 0.3)
        return QStringLiteral("behind the clock: ") + figures;
    return {};
}

} // namespace enginetest
