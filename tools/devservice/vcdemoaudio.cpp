#include "vcdemoaudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace {

double noteHz(int midiNote)
{
    return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0);
}

// A small deterministic generator, so that a style always gives the same music.
class Random
{
public:
    explicit Random(quint32 seed)
        : m_state(seed * 2654435761u + 1)
    {}
    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    // Uniform in [-1, 1).
    double noise() { return next() / 2147483648.0 - 1.0; }
    int below(int bound) { return int(next() % quint32(bound)); }

private:
    quint32 m_state;
};

// One period of stereo audio; notes that run past the end wrap to the start, so the period
// repeats without a seam.
class LoopBuffer
{
public:
    explicit LoopBuffer(qsizetype length)
        : m_left(length)
        , m_right(length)
    {}

    qsizetype length() const { return qsizetype(m_left.size()); }

    // Adds voice(t) for t from 0 to duration seconds, starting at sample start, panned from -1
    // (left) to 1 (right).
    template <typename Voice>
    void render(double startSeconds, double durationSeconds, double pan, Voice voice)
    {
        const double angle = (pan + 1.0) * std::numbers::pi / 4.0;
        const double gainLeft = std::cos(angle);
        const double gainRight = std::sin(angle);
        const qsizetype start = qsizetype(std::llround(startSeconds * VCDemoAudio::sampleRate));
        const qsizetype count = qsizetype(durationSeconds * VCDemoAudio::sampleRate);
        const qsizetype n = length();
        for (qsizetype i = 0; i < count; ++i) {
            const double value = voice(double(i) / VCDemoAudio::sampleRate);
            const qsizetype at = ((start + i) % n + n) % n;
            m_left[at] += float(value * gainLeft);
            m_right[at] += float(value * gainRight);
        }
    }

    void normalize(float peak)
    {
        float highest = 0;
        for (qsizetype i = 0; i < length(); ++i)
            highest = std::max({highest, std::abs(m_left[i]), std::abs(m_right[i])});
        if (highest <= 0)
            return;
        const float gain = peak / highest;
        for (qsizetype i = 0; i < length(); ++i) {
            m_left[i] *= gain;
            m_right[i] *= gain;
        }
    }

    float left(qsizetype i) const { return m_left[i % length()]; }
    float right(qsizetype i) const { return m_right[i % length()]; }

private:
    std::vector<float> m_left;
    std::vector<float> m_right;
};

// Exponential decay from 1, advanced one sample per call.
class Decay
{
public:
    explicit Decay(double seconds)
        : m_factor(std::exp(-1.0 / (seconds * VCDemoAudio::sampleRate)))
    {}
    double next()
    {
        const double value = m_level;
        m_level *= m_factor;
        return value;
    }

private:
    double m_factor;
    double m_level = 1.0;
};

// Attack, then exponential decay, faded out over the last 20 ms of the note. Called once per
// sample with the time since the note's start.
class Pluck
{
public:
    Pluck(double attack, double decay, double duration)
        : m_attack(attack)
        , m_decay(decay)
        , m_duration(duration)
    {}
    double operator()(double t)
    {
        const double rise = t < m_attack ? t / m_attack : 1.0;
        const double fade = std::clamp((m_duration - t) / 0.02, 0.0, 1.0);
        return rise * m_decay.next() * fade;
    }

private:
    double m_attack;
    Decay m_decay;
    double m_duration;
};

// One cycle of a waveform, read with linear interpolation at a phase counted in cycles.
class WaveTable
{
public:
    // weights[k] is the amplitude of harmonic k + 1.
    explicit WaveTable(std::initializer_list<double> weights)
    {
        for (int i = 0; i <= size; ++i) {
            double value = 0;
            int harmonic = 1;
            for (double weight : weights)
                value += weight * std::sin(2.0 * std::numbers::pi * harmonic++ * i / size);
            m_samples[i] = value;
        }
    }
    double at(double phase) const
    {
        const double position = (phase - std::floor(phase)) * size;
        const int index = std::min(int(position), size - 1);
        const double fraction = position - index;
        return m_samples[index] + fraction * (m_samples[index + 1] - m_samples[index]);
    }

private:
    static constexpr int size = 4096;
    double m_samples[size + 1];
};

struct Chord
{
    int degree; // semitones above the tonic
    bool minor;
};

// The instruments of the demo music, playing a bar at a time into a loop buffer: a pad on the
// chord, a bass line, a pentatonic melody and drums.
class Band
{
public:
    static constexpr Chord progression[] = {{0, false}, {7, false}, {9, true},  {5, false},
                                            {0, false}, {7, false}, {5, false}, {7, false}};
    static constexpr int pentatonic[] = {0, 2, 4, 7, 9};

    Band(LoopBuffer &buffer, const VCDemoAudio::Style &style)
        : m_buffer(buffer)
        , m_style(style)
        , m_beat(double(buffer.length()) / VCDemoAudio::sampleRate / (style.bars * 4))
        , m_random(style.seed)
        , m_melodyStep(5 + m_random.below(5))
    {}

    void playBar(int b)
    {
        const Chord chord = progression[b % 8];
        const int chordRoot = m_style.rootNote + chord.degree;
        const double barStart = b * bar();
        pad(barStart, chordRoot, chord.minor);
        bass(barStart, chordRoot);
        melody(barStart);
        drums(barStart, b);
    }

private:
    double bar() const { return m_beat * 4; }

    // The triad, each tone twice and slightly detuned, spread across the stereo field.
    void pad(double barStart, int chordRoot, bool minor)
    {
        const WaveTable &wave = m_padWave;
        const int tones[] = {chordRoot, chordRoot + (minor ? 3 : 4), chordRoot + 7};
        for (int tone : tones) {
            for (const double detune : {0.999, 1.001}) {
                const double hz = noteHz(tone) * detune;
                const double length = bar() + 0.3;
                m_buffer.render(barStart, length, detune < 1 ? -0.4 : 0.4,
                                [=, &wave, phase = 0.0, swell = Decay(0.4)](double t) mutable {
                                    const double rise = std::min(t / 0.08, 1.0);
                                    const double sustain = 0.7 + 0.3 * swell.next();
                                    const double release = std::clamp((length - t) / 0.3, 0.0, 1.0);
                                    const double value = wave.at(phase);
                                    phase += hz / VCDemoAudio::sampleRate;
                                    return 0.035 * rise * sustain * release * value;
                                });
            }
        }
    }

    // Tonic of the chord on beats one and three, the fifth just before the next bar.
    void bass(double barStart, int chordRoot)
    {
        const WaveTable &wave = m_bassWave;
        const std::pair<double, int> bassNotes[] = {{0, 0}, {2 * m_beat, 0}, {3.5 * m_beat, 7}};
        for (const auto &[offset, interval] : bassNotes) {
            const double hz = noteHz(chordRoot - 24 + interval);
            const double length = interval ? 0.5 * m_beat : 1.5 * m_beat;
            m_buffer.render(barStart + offset, length, 0,
                            [=, &wave, envelope = Pluck(0.005, 0.45, length)](double t) mutable {
                                return 0.22 * envelope(t) * wave.at(hz * t);
                            });
        }
    }

    // Eighth notes walking the pentatonic scale, with rests.
    void melody(double barStart)
    {
        const WaveTable &wave = m_bellWave;
        for (int eighth = 0; eighth < 8; ++eighth) {
            if (m_random.below(4) == 0)
                continue;
            m_melodyStep = std::clamp(m_melodyStep + m_random.below(5) - 2, 0, 10);
            const int note =
                m_style.rootNote + 12 + 12 * (m_melodyStep / 5) + pentatonic[m_melodyStep % 5];
            const double hz = noteHz(note);
            const double length = m_beat * (m_random.below(3) == 0 ? 1.0 : 0.5) * 1.5;
            m_buffer.render(barStart + eighth * m_beat / 2, length, -0.3,
                            [=, &wave, envelope = Pluck(0.008, 0.3, length)](double t) mutable {
                                return 0.12 * envelope(t) * wave.at(hz * t);
                            });
        }
    }

    // Kick on one and three, snare on two and four, hi-hat on every eighth.
    void drums(double barStart, int b)
    {
        const WaveTable &sine = m_sine;
        for (int q = 0; q < 4; ++q) {
            const double at = barStart + q * m_beat;
            if (q % 2 == 0) {
                m_buffer.render(at, 0.3, 0,
                                [&sine, phase = 0.0, sweep = Decay(0.03),
                                 envelope = Pluck(0.002, 0.12, 0.3)](double t) mutable {
                                    phase += (50 + 90 * sweep.next()) / VCDemoAudio::sampleRate;
                                    return 0.5 * envelope(t) * sine.at(phase);
                                });
            } else {
                Random snare(m_style.seed + quint32(b * 4 + q));
                m_buffer.render(at, 0.2, 0.1,
                                [=, &sine, noise = Pluck(0.001, 0.07, 0.2),
                                 tone = Pluck(0.001, 0.05, 0.2)](double t) mutable {
                                    return 0.16 * noise(t) * snare.noise() +
                                           0.12 * tone(t) * sine.at(185 * t);
                                });
            }
        }
        for (int e = 0; e < 8; ++e) {
            Random hat(m_style.seed * 31 + quint32(b * 8 + e));
            m_buffer.render(barStart + e * m_beat / 2, 0.08, 0.45,
                            [=, last = 0.0, envelope = Pluck(0.001, 0.02, 0.08)](double t) mutable {
                                const double white = hat.noise();
                                const double high = white - last; // crude high-pass
                                last = white;
                                return (e % 2 ? 0.035 : 0.05) * envelope(t) * high;
                            });
        }
    }

    LoopBuffer &m_buffer;
    const VCDemoAudio::Style &m_style;
    const double m_beat;
    Random m_random;
    int m_melodyStep;
    const WaveTable m_padWave{1.0, 1 / std::pow(2, 1.5), 1 / std::pow(3, 1.5),
                              1 / std::pow(4, 1.5)};
    const WaveTable m_bassWave{1.0, 0.3};
    const WaveTable m_bellWave{1.0, 0.45, 0.15};
    const WaveTable m_sine{1.0};
};

void synthesize(LoopBuffer &buffer, const VCDemoAudio::Style &style)
{
    Band band(buffer, style);
    for (int b = 0; b < style.bars; ++b)
        band.playBar(b);
    buffer.normalize(0.85f);
}

// A sine with a whole number of cycles in the loop, so that the loop repeats without a click.
void synthesizeTone(LoopBuffer &buffer, double hz, double amplitude)
{
    const double cycles = std::max(1.0, std::round(hz * buffer.length() / VCDemoAudio::sampleRate));
    const double step = 2 * std::numbers::pi * cycles / double(buffer.length());
    // Half a sample more, so that the rounding down of the sample count covers the whole loop.
    buffer.render(0, (double(buffer.length()) + 0.5) / VCDemoAudio::sampleRate, 0,
                  [step, i = qint64(0)](double) mutable { return std::sin(step * double(i++)); });
    buffer.normalize(float(amplitude));
}

QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

struct CodecContextDeleter
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

// Encodes frameCount frames of buffer (repeating it as often as needed) and returns every packet
// the encoder gives, in order. Each packet holds one MP3 frame.
bool encode(const LoopBuffer &buffer, int bitrate, qsizetype frameCount, QList<QByteArray> *packets,
            QString *error)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("libmp3lame");
    if (!codec) {
        *error = QStringLiteral("the MP3 encoder (libmp3lame) is not available");
        return false;
    }
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!context || !frame || !packet) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    context->bit_rate = bitrate;
    context->sample_rate = VCDemoAudio::sampleRate;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&context->ch_layout, VCDemoAudio::channels);
    AVDictionary *options = nullptr;
    av_dict_set(&options, "reservoir", "0", 0);
    int result = avcodec_open2(context.get(), codec, &options);
    av_dict_free(&options);
    if (result < 0) {
        *error = QStringLiteral("cannot open the MP3 encoder: %1").arg(errorText(result));
        return false;
    }
    if (context->frame_size != VCDemoAudio::samplesPerFrame) {
        *error = QStringLiteral("unexpected MP3 frame size %1").arg(context->frame_size);
        return false;
    }

    frame->nb_samples = context->frame_size;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    if ((result = av_frame_get_buffer(frame.get(), 0)) < 0) {
        *error = QStringLiteral("cannot allocate a frame: %1").arg(errorText(result));
        return false;
    }

    auto drain = [&]() {
        for (;;) {
            const int received = avcodec_receive_packet(context.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return 0;
            if (received < 0)
                return received;
            packets->append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            av_packet_unref(packet.get());
        }
    };

    qsizetype sample = 0;
    for (qsizetype f = 0; f < frameCount; ++f) {
        if ((result = av_frame_make_writable(frame.get())) < 0)
            break;
        auto *left = reinterpret_cast<float *>(frame->data[0]);
        auto *right = reinterpret_cast<float *>(frame->data[1]);
        for (int i = 0; i < frame->nb_samples; ++i, ++sample) {
            left[i] = buffer.left(sample);
            right[i] = buffer.right(sample);
        }
        frame->pts = sample - frame->nb_samples;
        if ((result = avcodec_send_frame(context.get(), frame.get())) < 0)
            break;
        if ((result = drain()) < 0)
            break;
    }
    if (result >= 0 && (result = avcodec_send_frame(context.get(), nullptr)) >= 0)
        result = drain();
    if (result < 0) {
        *error = QStringLiteral("MP3 encoding failed: %1").arg(errorText(result));
        return false;
    }
    return true;
}

} // namespace

bool VCDemoAudio::build(const Style &style, QString *error)
{
    QString failure;
    if (!error)
        error = &failure;
    if (style.bars < 1 || style.beatsPerMinute <= 0 || style.bitrate <= 0) {
        *error = QStringLiteral("invalid style");
        return false;
    }

    // A whole number of frames per loop, so that the loop can be cut at frame boundaries.
    const double seconds = style.bars * 4 * 60.0 / style.beatsPerMinute;
    const qsizetype frameCount =
        std::max<qsizetype>(1, qsizetype(std::llround(seconds * sampleRate / samplesPerFrame)));
    LoopBuffer music(frameCount * samplesPerFrame);
    if (style.toneHz > 0)
        synthesizeTone(music, style.toneHz, style.toneAmplitude);
    else
        synthesize(music, style);

    // Encode two periods and a little more, and keep the second period: its frames are a
    // steady-state encoding of a periodic signal, so the last frame leads into the first.
    QList<QByteArray> packets;
    if (!encode(music, style.bitrate, 2 * frameCount + 4, &packets, error))
        return false;
    if (packets.size() < 2 * frameCount) {
        *error = QStringLiteral("the encoder returned too few frames");
        return false;
    }
    m_music = packets.mid(frameCount, frameCount);

    constexpr qsizetype silenceFrames = 64;
    LoopBuffer silence(silenceFrames * samplesPerFrame);
    packets.clear();
    if (!encode(silence, style.bitrate, 2 * silenceFrames + 4, &packets, error))
        return false;
    if (packets.size() < 2 * silenceFrames) {
        *error = QStringLiteral("the encoder returned too few frames");
        return false;
    }
    m_silence = packets.mid(silenceFrames, silenceFrames);
    m_bitrate = style.bitrate;
    return true;
}
