#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Reads fragmented MP4 (CMAF) HLS segments: the audio track of an initialization segment (its
// codec and decoder configuration), and the samples of that track in a media segment, which it
// hands out as a stream the engine decodes on its own: AAC as ADTS frames, MP3 frames as they
// are. Timed ID3 metadata carried in "emsg" boxes of the ID3 scheme comes out beside them.
// Every box and sample is checked against the bytes at hand; nothing is decoded.
class KELVANEPLAYER_EXPORT KLHlsMp4Reader
{
public:
    enum class Codec {
        None,
        Aac,
        Mp3,
    };

    // True when the bytes begin with a box that opens an MP4 file or a fragment.
    static bool looksLikeMp4(const QByteArray &data);

    // Reads an initialization segment; false (with error()) when it has no audio track of a
    // codec this reader hands out.
    bool readInit(const QByteArray &init);
    // The initialization segment last read successfully.
    const QByteArray &init() const { return m_init; }
    Codec codec() const { return m_codec; }
    QString error() const { return m_error; }

    // The audio of a media segment as the engine decodes it, and the ID3 tags of its "emsg"
    // boxes in the order they come. Empty audio when the segment holds no sample of the track.
    QByteArray readSegment(const QByteArray &segment, QList<QByteArray> *id3Tags) const;

private:
    struct Box;
    bool readTrack(const QByteArray &data, qsizetype begin, qsizetype end);
    bool readSampleEntry(const QByteArray &data, qsizetype begin, qsizetype end);
    bool readAudioSpecificConfig(const QByteArray &config);
    void readFragment(const QByteArray &data, qsizetype begin, qsizetype end, qsizetype mdatPayload,
                      qsizetype *budget, QByteArray *audio) const;
    void appendSample(const char *sample, qsizetype size, QByteArray *audio) const;
    static QByteArray emsgId3(const QByteArray &data, qsizetype begin, qsizetype end);

    QByteArray m_init;
    Codec m_codec = Codec::None;
    QString m_error;
    quint32 m_trackId = 0;
    quint32 m_defaultSampleSize = 0;
    // ADTS header fields of an AAC track.
    int m_adtsProfile = 0;
    int m_sampleRateIndex = 0;
    int m_channelConfig = 0;
};
