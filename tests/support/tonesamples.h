#pragma once

#include <QByteArray>

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
