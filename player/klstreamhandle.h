#pragma once

#include "klbasstypes.h"

#include <QString>

// One engine handle as a player reads and adjusts it: byte counts in seconds, its length and
// position, how far its download has come, its level, seeking, volume and rate. A handle of 0
// reads as nothing and ignores changes; failures are logged under the owner's name.
class KLStreamHandle
{
public:
    KLStreamHandle(HSTREAM handle, const QString &owner)
        : m_handle(handle)
        , m_owner(owner)
    {}

    // Seconds of a byte count; 0 for a failed count (logged as `what` unless that is empty).
    double seconds(QWORD bytes, const QString &what = QString()) const;
    double length() const;
    double position() const;
    // A BASS_FILEPOS_* position of the handle's file or download; 0 when it cannot tell.
    QWORD filePosition(DWORD mode) const;
    // RMS level of the last 20 ms, both channels together; 0 on failure.
    float level() const;

    // Seeks to seconds from the start of the handle, inside what it holds.
    void seek(double seconds) const;
    // The byte of the resource at fraction of its length, for a handle that started at
    // startByte; 0 when the handle cannot tell its file's extent.
    QWORD byteAt(double fraction, QWORD startByte) const;

    void setVolume(double volume, uint fadeMs) const;
    // Plays at rate times the sample rate frequency.
    void setRate(DWORD frequency, double rate) const;

private:
    HSTREAM m_handle;
    QString m_owner;
};
