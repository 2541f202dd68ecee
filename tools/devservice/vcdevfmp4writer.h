#pragma once

#include <QByteArray>
#include <QList>

// Writes fragmented MP4 (CMAF) for an HLS station of MP3 frames: the initialization segment of
// one audio track, and media segments of one fragment each, optionally led by an "emsg" box
// that carries an ID3 tag (the ID3 scheme of timed metadata).
class VCDevFmp4Writer
{
public:
    // An initialization segment for MP3 at sampleRate with channels.
    static QByteArray initSegment(int sampleRate, int channels);
    // Fragment sequence of frames (each samplesPerFrame long), whose first sample is at
    // decodeTime (in samples); id3Tag, when not empty, goes into an "emsg" box ahead of it.
    static QByteArray mediaSegment(quint32 sequence, quint64 decodeTime, int samplesPerFrame,
                                   const QList<QByteArray> &frames, const QByteArray &id3Tag);
};
