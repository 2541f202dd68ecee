#include "klstreamhandle.h"

#include "klbass.h"
#include "kllogging.h"

#include <bass.h>

#include <algorithm>
#include <limits>

namespace {

constexpr QWORD bassFailure = std::numeric_limits<QWORD>::max();

} // namespace

double KLStreamHandle::seconds(QWORD bytes, const QString &what) const
{
    if (!m_handle)
        return 0;
    if (bytes == bassFailure) {
        if (!what.isEmpty())
            qCDebug(klLog) << m_owner << "Can not get" << what << "from stream"
                           << KLBass::errorMessage();
        return 0;
    }
    const double result = BASS_ChannelBytes2Seconds(m_handle, bytes);
    return result > 0 ? result : 0;
}

double KLStreamHandle::length() const
{
    return m_handle ? seconds(BASS_ChannelGetLength(m_handle, BASS_POS_BYTE)) : 0;
}

double KLStreamHandle::position() const
{
    return m_handle ? seconds(BASS_ChannelGetPosition(m_handle, BASS_POS_BYTE),
                              QStringLiteral("position"))
                    : 0;
}

QWORD KLStreamHandle::filePosition(DWORD mode) const
{
    if (!m_handle)
        return 0;
    const QWORD result = BASS_StreamGetFilePosition(m_handle, mode);
    return result == bassFailure ? 0 : result;
}

float KLStreamHandle::level() const
{
    float level = 0;
    if (!m_handle ||
        !BASS_ChannelGetLevelEx(m_handle, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS))
        return 0;
    return level;
}

void KLStreamHandle::seek(double seconds) const
{
    const QWORD bytes = BASS_ChannelSeconds2Bytes(m_handle, seconds);
    if (bytes == bassFailure) {
        qCWarning(klLog) << m_owner << "Can not convert position" << seconds << "to bytes"
                         << KLBass::errorMessage();
        return;
    }
    if (!BASS_ChannelSetPosition(m_handle, bytes, BASS_POS_BYTE))
        qCWarning(klLog) << m_owner << "Can not change position to" << seconds
                         << KLBass::errorMessage();
}

QWORD KLStreamHandle::byteAt(double fraction, QWORD startByte) const
{
    const QWORD start = m_handle ? BASS_StreamGetFilePosition(m_handle, BASS_FILEPOS_START) : 0;
    const QWORD end = m_handle ? BASS_StreamGetFilePosition(m_handle, BASS_FILEPOS_END) : 0;
    // A start of 0 is a file whose audio begins at its first byte, not a failure.
    if (start == bassFailure || end == 0 || end == bassFailure || end <= start) {
        qCWarning(klLog) << m_owner
                         << "Can not change position cause can not get filepos end from stream"
                         << KLBass::errorMessage() << "fallback to zero position" << 0;
        return 0;
    }
    return QWORD(double(startByte + (end - start)) * std::clamp(fraction, 0.0, 1.0) +
                 double(start));
}

void KLStreamHandle::setVolume(double volume, uint fadeMs) const
{
    if (!m_handle)
        return;
    if (fadeMs != 0) {
        if (!BASS_ChannelSlideAttribute(m_handle, BASS_ATTRIB_VOL, float(volume), fadeMs))
            qCWarning(klLog) << m_owner << "Can not slide volume to" << volume << "with fade"
                             << fadeMs << "ms" << KLBass::errorMessage();
    } else {
        if (!BASS_ChannelSetAttribute(m_handle, BASS_ATTRIB_VOL, float(volume)))
            qCWarning(klLog) << m_owner << "Can not change volume to" << volume << "without fade"
                             << KLBass::errorMessage();
    }
}

void KLStreamHandle::setRate(DWORD frequency, double rate) const
{
    if (rate <= 0) {
        qCWarning(klLog) << m_owner << "Can not change playback rate to invalid value" << rate;
        return;
    }
    if (frequency == 0) {
        qCWarning(klLog) << m_owner << "Can not change playback rate to invalid stream info freq"
                         << frequency;
        return;
    }
    if (!BASS_ChannelSetAttribute(m_handle, BASS_ATTRIB_FREQ, float(frequency * rate)))
        qCWarning(klLog) << m_owner << "Can not change playback rate to" << rate
                         << KLBass::errorMessage();
}
