#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A loop of generated music (chords, bass line, melody and drums), encoded as constant-bitrate
// MP3 frames that can be repeated without a seam, together with a run of silent frames of the
// same format. Frames are encoded without the bit reservoir, so every frame decodes on its own
// and the sender may switch between music and silence at any frame boundary.
class VCDemoAudio
{
public:
    struct Style
    {
        int rootNote = 57; // MIDI note of the key's tonic
        int bars = 8;      // length of the loop in 4/4 bars
        double beatsPerMinute = 112;
        quint32 seed = 1;     // chooses the melody
        int bitrate = 128000; // bit/s
        // Above 0: a steady sine of about this frequency at half of full scale instead of
        // music, so that a listener's recording tells the streams apart by their pitch.
        double toneHz = 0;
        double toneAmplitude = 0.5; // of full scale
    };

    static constexpr int sampleRate = 44100;
    static constexpr int channels = 2;
    static constexpr int samplesPerFrame = 1152;

    // Synthesises and encodes the loop; on failure returns false and describes it in *error.
    bool build(const Style &style, QString *error = nullptr);

    int bitrate() const { return m_bitrate; }
    const QList<QByteArray> &musicFrames() const { return m_music; }
    const QList<QByteArray> &silenceFrames() const { return m_silence; }
    // Length of one frame in microseconds.
    static constexpr qint64 frameDurationUs()
    {
        return qint64(samplesPerFrame) * 1000000 / sampleRate;
    }

private:
    int m_bitrate = 0;
    QList<QByteArray> m_music;
    QList<QByteArray> m_silence;
};
