#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cmath>
#include <cstdint>
#include <numbers>

// Interleaved 16-bit samples of a sine at 44100 Hz, the same on every channel, starting at
// sample frame `first` (so that consecutive pieces join without a jump). Its RMS level is
// amplitude / sqrt(2).
inline QByteArray toneSamples(double seconds, double amplitude, int channels = 2, qint64 first = 0,
                              double frequency = 440)
{
    const qint64 frames = qint64(seconds * 44100);
    QByteArray out(frames * channels * 2, Qt::Uninitialized);
    auto *samples = reinterpret_cast<int16_t *>(out.data());
    for (qint64 i = 0; i < frames; ++i) {
        const double t = double(first + i) / 44100;
        const auto value = int16_t(
            std::lround(amplitude * 32767 * std::sin(2 * std::numbers::pi * frequency * t)));
        for (int c = 0; c < channels; ++c)
            samples[i * channels + c] = value;
    }
    return out;
}

// Amplitude of the test tone that the sound-server tests play and recognise (RMS 0.345).
inline constexpr double defaultToneAmplitude = 16000.0 / 32767;

// The tone (440 Hz at amplitude, both channels) as a 16-bit stereo WAV file at 44100 Hz.
inline QByteArray toneWav(double seconds, double amplitude = defaultToneAmplitude)
{
    const QByteArray samples = toneSamples(seconds, amplitude);
    QByteArray wav;
    auto u32 = [&](quint32 v) {
        for (int i = 0; i < 4; ++i)
            wav.append(char(v >> (8 * i)));
    };
    auto u16 = [&](quint16 v) {
        wav.append(char(v));
        wav.append(char(v >> 8));
    };
    wav.append("RIFF");
    u32(quint32(36 + samples.size()));
    wav.append("WAVEfmt ");
    u32(16);
    u16(1);         // PCM
    u16(2);         // channels
    u32(44100);     // sample rate
    u32(44100 * 4); // bytes a second
    u16(4);         // bytes a frame
    u16(16);        // bits a sample
    wav.append("data");
    u32(quint32(samples.size()));
    return wav + samples;
}

// Writes toneWav() to path; false when it cannot.
inline bool writeToneWav(const QString &path, double seconds,
                         double amplitude = defaultToneAmplitude)
{
    const QByteArray wav = toneWav(seconds, amplitude);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(wav) == wav.size();
}
