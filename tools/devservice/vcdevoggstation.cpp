#include "vcdevoggstation.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <QScopeGuard>
#include <QTcpSocket>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr int PaceMs = 50;
constexpr qsizetype ChunkBytes = 4096;
// A listener that reads slower than the music falls behind instead of filling memory.
constexpr qint64 MaxQueuedBytes = 256 * 1024;

using Pcm = std::array<std::vector<float>, 2>;

QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// The loop's MP3 frames back to planar float samples.
bool decodeLoop(const VCDemoAudio &audio, Pcm *pcm, QString *error)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    const auto cleanup = qScopeGuard([&] {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    });
    if (!context || !packet || !frame || avcodec_open2(context, codec, nullptr) < 0) {
        *error = QStringLiteral("cannot open the MP3 decoder");
        return false;
    }
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            if (frame->format != AV_SAMPLE_FMT_FLTP || frame->ch_layout.nb_channels != 2)
                return false;
            for (int c = 0; c < 2; ++c) {
                const auto *samples = reinterpret_cast<const float *>(frame->extended_data[c]);
                (*pcm)[c].insert((*pcm)[c].end(), samples, samples + frame->nb_samples);
            }
            av_frame_unref(frame);
        }
        return true;
    };
    for (const QByteArray &mp3 : audio.musicFrames()) {
        if (av_new_packet(packet, int(mp3.size())) < 0)
            return false;
        std::memcpy(packet->data, mp3.constData(), size_t(mp3.size()));
        avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (!drain()) {
            *error = QStringLiteral("the MP3 decoder gave an unexpected sample format");
            return false;
        }
    }
    avcodec_send_packet(context, nullptr);
    return drain() && !(*pcm)[0].empty();
}

int appendBytes(void *opaque, uint8_t *data, int size)
{
    static_cast<QByteArray *>(opaque)->append(reinterpret_cast<const char *>(data), size);
    return size;
}

// Writes the encoder's packets that are ready; false on a failure.
bool writePackets(AVCodecContext *encoder, AVFormatContext *format, AVPacket *packet)
{
    while (avcodec_receive_packet(encoder, packet) == 0) {
        av_packet_rescale_ts(packet, encoder->time_base, format->streams[0]->time_base);
        packet->stream_index = 0;
        if (av_interleaved_write_frame(format, packet) < 0)
            return false;
    }
    return true;
}

// One Ogg Vorbis file (a link of the chain) of pcm with the given comment.
bool encodeLink(const Pcm &pcm, const QString &streamTitle, QByteArray *link, QString *error)
{
    AVFormatContext *format = nullptr;
    AVCodecContext *encoder = nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    const auto cleanup = qScopeGuard([&] {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&encoder);
        if (format && format->pb) {
            av_freep(&format->pb->buffer);
            avio_context_free(&format->pb);
        }
        avformat_free_context(format);
    });
    const AVCodec *codec = avcodec_find_encoder_by_name("libvorbis");
    if (!codec) {
        *error = QStringLiteral("the Vorbis encoder (libvorbis) is not available");
        return false;
    }
    encoder = avcodec_alloc_context3(codec);
    if (!packet || !frame || !encoder ||
        avformat_alloc_output_context2(&format, nullptr, "ogg", nullptr) < 0) {
        *error = QStringLiteral("out of memory for the Ogg station");
        return false;
    }
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = VCDemoAudio::sampleRate;
    av_channel_layout_default(&encoder->ch_layout, 2);
    encoder->bit_rate = VCDevOggStation::bitrate;
    encoder->time_base = AVRational{1, VCDemoAudio::sampleRate};
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int r = avcodec_open2(encoder, codec, nullptr); r < 0) {
        *error = QStringLiteral("cannot open the Vorbis encoder: %1").arg(errorText(r));
        return false;
    }
    auto *buffer = static_cast<unsigned char *>(av_malloc(ChunkBytes));
    format->pb = avio_alloc_context(buffer, ChunkBytes, 1, link, nullptr, &appendBytes, nullptr);
    AVStream *stream = avformat_new_stream(format, nullptr);
    if (!format->pb || !stream || avcodec_parameters_from_context(stream->codecpar, encoder) < 0)
        return false;
    stream->time_base = encoder->time_base;
    const qsizetype split = streamTitle.indexOf(QLatin1String(" - "));
    av_dict_set(&stream->metadata, "ARTIST", streamTitle.left(split).toUtf8().constData(), 0);
    av_dict_set(&stream->metadata, "TITLE", streamTitle.mid(split + 3).toUtf8().constData(), 0);
    if (avformat_write_header(format, nullptr) < 0) {
        *error = QStringLiteral("cannot write the Ogg headers");
        return false;
    }
    const int step = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    const qsizetype samples = qsizetype(pcm[0].size());
    for (qsizetype at = 0; at < samples; at += step) {
        frame->nb_samples = int(std::min<qsizetype>(step, samples - at));
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = VCDemoAudio::sampleRate;
        av_channel_layout_default(&frame->ch_layout, 2);
        if (av_frame_get_buffer(frame, 0) < 0)
            return false;
        for (int c = 0; c < 2; ++c)
            std::memcpy(frame->extended_data[c], pcm[c].data() + at,
                        sizeof(float) * size_t(frame->nb_samples));
        frame->pts = at;
        const bool sent = avcodec_send_frame(encoder, frame) == 0;
        av_frame_unref(frame);
        if (!sent || !writePackets(encoder, format, packet))
            return false;
    }
    avcodec_send_frame(encoder, nullptr);
    if (!writePackets(encoder, format, packet) || av_write_trailer(format) < 0)
        return false;
    avio_flush(format->pb);
    return !link->isEmpty();
}

} // namespace

QStringList VCDevOggStation::titles()
{
    return {QStringLiteral("Vellacast Demo Band - Morning Links"),
            QStringLiteral("Vellacast Demo Band - Comment Header Blues"),
            QStringLiteral("The Granule Positions - Chained"),
            QStringLiteral("Vellacast Demo Band - Last Page")};
}

VCDevOggStation::VCDevOggStation(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(PaceMs);
    connect(&m_timer, &QTimer::timeout, this, &VCDevOggStation::pump);
}

bool VCDevOggStation::build(const VCDemoAudio::Style &style, QString *error)
{
    VCDemoAudio audio;
    Pcm pcm;
    if (!audio.build(style, error) || !decodeLoop(audio, &pcm, error)) {
        if (error->isEmpty())
            *error = QStringLiteral("cannot decode the music for the Ogg station");
        return false;
    }
    m_songMs = qint64(pcm[0].size()) * 1000 / VCDemoAudio::sampleRate;
    m_links.clear();
    for (const QString &title : titles()) {
        QByteArray link;
        if (!encodeLink(pcm, title, &link, error)) {
            if (error->isEmpty())
                *error = QStringLiteral("cannot encode the Ogg station");
            return false;
        }
        m_links.append(link);
    }
    return m_songMs > 0;
}

int VCDevOggStation::songAt(qint64 elapsedMs) const
{
    return m_songMs > 0 ? int((elapsedMs / m_songMs) % m_links.size()) : 0;
}

void VCDevOggStation::addListener(QTcpSocket *socket, qint64 elapsedMs, int burstMs, int session)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write("HTTP/1.0 200 OK\r\n"
                  "Content-Type: audio/ogg\r\n"
                  "icy-name: Vellacast Ogg demo\r\n"
                  "Cache-Control: no-cache\r\n"
                  "Connection: close\r\n\r\n");
    Listener listener;
    listener.socket = socket;
    listener.session = session;
    listener.song = songAt(elapsedMs);
    listener.burstMs = burstMs;
    listener.clock.start();
    m_listeners.append(listener);
    feed(m_listeners.last());
    if (!m_timer.isActive())
        m_timer.start();
}

void VCDevOggStation::dropSession(int session)
{
    for (const Listener &listener : std::as_const(m_listeners)) {
        if (listener.session == session && listener.socket)
            listener.socket->abort();
    }
    pump();
}

void VCDevOggStation::pump()
{
    for (auto it = m_listeners.begin(); it != m_listeners.end();) {
        if (feed(*it))
            ++it;
        else
            it = m_listeners.erase(it);
    }
    if (m_listeners.isEmpty())
        m_timer.stop();
}

bool VCDevOggStation::feed(Listener &listener)
{
    QTcpSocket *socket = listener.socket;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    const double dueMs = listener.burstMs + double(listener.clock.elapsed());
    while (listener.sentMs < dueMs && socket->bytesToWrite() < MaxQueuedBytes) {
        const QByteArray &link = m_links.at(listener.song);
        const qsizetype n = std::min(ChunkBytes, link.size() - listener.offset);
        socket->write(link.constData() + listener.offset, n);
        listener.offset += n;
        listener.sentMs += double(n) * double(m_songMs) / double(link.size());
        if (listener.offset == link.size()) {
            listener.offset = 0;
            listener.song = (listener.song + 1) % int(m_links.size());
        }
    }
    return true;
}
