#include "decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cctype>
#include <cstring>

namespace engine {

namespace {

constexpr int IoBufferSize = 8192;
constexpr int DefaultProbeBytes = 32768;
// The demuxer's seek index of a stream read forward only. It would otherwise gain an entry per
// packet (38 a second for MP3) up to 1 MiB for every endless stream, although nothing seeks in
// it; this keeps it at a few entries.
constexpr unsigned ForwardOnlyIndexBytes = 1024;
constexpr int MaxPacketsBeforeAudio = 2000;
constexpr int MaxCorruptFrames = 500;
// Offsets of marks remembered against duplicates when the demuxer reads data again.
constexpr size_t MaxMarkOffsets = 1024;

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Demuxer for a MIME type or a file name; null when the content has to be probed.
const AVInputFormat *formatFor(const std::string &contentType, const std::string &fileName)
{
    std::string type = lower(contentType);
    const auto semicolon = type.find(';');
    if (semicolon != std::string::npos)
        type.resize(semicolon);
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.back())))
        type.pop_back();
    struct Entry
    {
        const char *key;
        const char *format;
    };
    static const Entry types[] = {
        {"audio/mpeg", "mp3"},        {"audio/mp3", "mp3"},     {"audio/mpeg3", "mp3"},
        {"audio/x-mpeg", "mp3"},      {"audio/aac", "aac"},     {"audio/aacp", "aac"},
        {"audio/x-aac", "aac"},       {"audio/x-aacp", "aac"},  {"audio/ogg", "ogg"},
        {"application/ogg", "ogg"},   {"audio/opus", "ogg"},    {"audio/vorbis", "ogg"},
        {"audio/flac", "flac"},       {"audio/x-flac", "flac"}, {"audio/wav", "wav"},
        {"audio/x-wav", "wav"},       {"audio/wave", "wav"},    {"video/mp2t", "mpegts"},
        {"video/mpeg2-ts", "mpegts"},
    };
    for (const Entry &e : types) {
        if (type == e.key)
            return av_find_input_format(e.format);
    }
    const auto dot = fileName.find_last_of('.');
    const auto slash = fileName.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return nullptr;
    const std::string ext = lower(fileName.substr(dot + 1));
    static const Entry exts[] = {
        {"mp3", "mp3"},  {"aac", "aac"},   {"adts", "aac"}, {"ogg", "ogg"},   {"oga", "ogg"},
        {"opus", "ogg"}, {"flac", "flac"}, {"wav", "wav"},  {"ts", "mpegts"}, {"mp2", "mp3"},
    };
    for (const Entry &e : exts) {
        if (ext == e.key)
            return av_find_input_format(e.format);
    }
    return nullptr;
}

DWORD ctypeFor(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_MP3:
        return BASS_CTYPE_STREAM_MP3;
    case AV_CODEC_ID_MP2:
        return BASS_CTYPE_STREAM_MP2;
    case AV_CODEC_ID_AAC:
        return BASS_CTYPE_STREAM_AAC;
    case AV_CODEC_ID_VORBIS:
        return BASS_CTYPE_STREAM_OGG;
    case AV_CODEC_ID_OPUS:
        return BASS_CTYPE_STREAM_OPUS;
    case AV_CODEC_ID_FLAC:
        return BASS_CTYPE_STREAM_FLAC;
    default:
        break;
    }
    if (id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT)
        return BASS_CTYPE_STREAM_WAV; // plain PCM variants
    return BASS_CTYPE_STREAM_OTHER;
}

} // namespace

std::unique_ptr<Decoder> Decoder::open(std::unique_ptr<ByteSource> source, const Params &params,
                                       int *error)
{
    std::unique_ptr<Decoder> d(new Decoder);
    d->m_source = std::move(source);
    if (d->openInput(params, error))
        return d;
    // A file whose name or type does not match its content: look at the content instead.
    if (params.probe || !formatFor(params.contentType, std::string()) ||
        d->m_source->length() < 0 || !d->m_source->seek(0))
        return nullptr;
    std::unique_ptr<Decoder> probed(new Decoder);
    probed->m_source = std::move(d->m_source);
    d.reset();
    Params retry = params;
    retry.probe = true;
    if (probed->openInput(retry, error))
        return probed;
    return nullptr;
}

Decoder::~Decoder()
{
    if (m_swr)
        swr_free(&m_swr);
    if (m_frame)
        av_frame_free(&m_frame);
    if (m_packet)
        av_packet_free(&m_packet);
    if (m_codec)
        avcodec_free_context(&m_codec);
    if (m_format)
        avformat_close_input(&m_format);
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
}

int Decoder::readThunk(void *opaque, uint8_t *buffer, int size)
{
    auto *d = static_cast<Decoder *>(opaque);
    const int64_t at = d->m_ogg ? d->m_source->position() : 0;
    const int64_t n = d->m_source->read(buffer, size);
    if (n > 0) {
        if (d->m_ogg)
            d->m_ogg->feed(buffer, size_t(n), at);
        return int(n);
    }
    if (n == 0)
        return AVERROR_EOF;
    return AVERROR_EXIT;
}

int64_t Decoder::seekThunk(void *opaque, int64_t offset, int whence)
{
    ByteSource *source = static_cast<Decoder *>(opaque)->m_source.get();
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return source->length();
    int64_t target = offset;
    if (whence == SEEK_CUR)
        target += source->position();
    else if (whence == SEEK_END) {
        const int64_t len = source->length();
        if (len < 0)
            return -1;
        target += len;
    }
    if (target < 0 || !source->seek(target))
        return -1;
    return target;
}

void Decoder::addMark(int64_t offset, const std::string &text)
{
    // Opening a file reads its end and then its middle again; a title comes once per place.
    if (std::find(m_markOffsets.begin(), m_markOffsets.end(), offset) != m_markOffsets.end())
        return;
    if (m_markOffsets.size() >= MaxMarkOffsets)
        m_markOffsets.erase(m_markOffsets.begin());
    m_markOffsets.push_back(offset);
    m_marks.emplace_back(offset, text);
}

std::vector<std::pair<int64_t, std::string>> Decoder::takeMarks()
{
    std::vector<std::pair<int64_t, std::string>> marks;
    marks.swap(m_marks);
    return marks;
}

void Decoder::countPacket(int bytes)
{
    if (m_bitrate == 0 && bytes > 0)
        m_measuredBytes += bytes;
}

void Decoder::countFrame(int samples, int rate)
{
    if (m_bitrate != 0 || samples <= 0 || rate <= 0)
        return;
    const int64_t nominal = m_codec->bit_rate;
    if (m_measuredSeconds == 0)
        m_nominalBitrate = nominal;
    else if (nominal != m_nominalBitrate)
        m_nominalVaries = true;
    m_measuredSeconds += double(samples) / rate;
    if (m_measuredSeconds >= MeasureSeconds)
        finishMeasure();
}

void Decoder::finishMeasure()
{
    if (m_bitrate != 0 || m_measuredSeconds <= 0)
        return;
    if (m_nominalBitrate > 0 && !m_nominalVaries)
        m_bitrate = m_nominalBitrate;
    else
        m_bitrate = int64_t(double(m_measuredBytes) * 8 / m_measuredSeconds + 0.5);
}

bool Decoder::seekable() const
{
    return m_io && (m_io->seekable & AVIO_SEEKABLE_NORMAL) && m_lengthFrames > 0;
}

bool Decoder::openInput(const Params &params, int *error)
{
    // A source of known size can seek; the others are read forward only.
    const bool sized = m_source->length() >= 0;
    if (!openDemuxer(params, sized, error) || !openAudioStream(error))
        return false;
    int64_t firstPacketPos = -1;
    if (!decodeFirstFrame(firstPacketPos, error))
        return false;
    m_rate = m_frame->sample_rate;
    m_channels = m_frame->ch_layout.nb_channels;
    m_audioStart = std::max<int64_t>(firstPacketPos, 0);
    if (sized)
        m_lengthFrames = estimatedLength(firstPacketPos);
    if (!convertFrame()) {
        *error = BASS_ERROR_FORMAT;
        return false;
    }
    m_firstFrames = int(m_out.size() / size_t(m_channels));
    *error = BASS_OK;
    return true;
}

bool Decoder::openDemuxer(const Params &params, bool sized, int *error)
{
    *error = BASS_ERROR_MEM;
    auto *buffer = static_cast<unsigned char *>(av_malloc(IoBufferSize));
    if (!buffer)
        return false;
    m_io = avio_alloc_context(buffer, IoBufferSize, 0, this, &Decoder::readThunk, nullptr,
                              &Decoder::seekThunk);
    if (!m_io) {
        av_free(buffer);
        return false;
    }
    m_io->seekable = sized ? AVIO_SEEKABLE_NORMAL : 0;
    m_format = avformat_alloc_context();
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    if (!m_format || !m_packet || !m_frame)
        return false;
    m_format->pb = m_io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int64_t probe = params.probeBytes > 0 ? params.probeBytes : DefaultProbeBytes;
    m_format->probesize = std::max<int64_t>(probe, 2048);
    m_format->format_probesize = int(std::min<int64_t>(m_format->probesize, 1 << 20));
    if (!sized)
        m_format->max_index_size = ForwardOnlyIndexBytes;
    // The links of an Ogg stream carry their titles in comment headers that the demuxer
    // keeps to itself: read them on the way in.
    m_ogg = std::make_unique<OggCommentReader>(
        [this](const std::string &text, int64_t offset) { addMark(offset, text); });

    // A stream that can only be read forward takes its demuxer from the type or the name; a
    // file that can seek is probed cheaply (its name only weighs in), since a demuxer forced
    // onto content of another kind can scan all of it before giving up.
    const AVInputFormat *format =
        params.probe ? nullptr
                     : formatFor(params.contentType, sized ? std::string() : params.fileName);
    AVDictionary *options = nullptr;
    if (!sized)
        av_dict_set(&options, "usetoc", "0", 0);
    const int opened = avformat_open_input(&m_format, params.fileName.c_str(), format, &options);
    av_dict_free(&options);
    if (opened < 0) {
        // avformat_open_input frees the context on failure.
        m_format = nullptr;
        *error = opened == AVERROR_EXIT ? BASS_ERROR_FILEOPEN : BASS_ERROR_FILEFORM;
        return false;
    }
    if (std::strcmp(m_format->iformat->name, "ogg") != 0) {
        m_ogg.reset();
        m_marks.clear();
    }
    return true;
}

bool Decoder::openAudioStream(int *error)
{
    // Streams that the header already announces; otherwise (MPEG-TS) wait for packets.
    m_streamIndex = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    *error = BASS_ERROR_FILEFORM;
    for (int packets = 0; m_streamIndex < 0; ++packets) {
        if (packets >= MaxPacketsBeforeAudio)
            return false;
        const int r = av_read_frame(m_format, m_packet);
        if (r < 0) {
            *error = r == AVERROR_EXIT ? BASS_ERROR_FILEOPEN : BASS_ERROR_FILEFORM;
            return false;
        }
        const AVStream *st = m_format->streams[m_packet->stream_index];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
            st->codecpar->codec_id != AV_CODEC_ID_NONE)
            m_streamIndex = m_packet->stream_index;
        else
            av_packet_unref(m_packet);
    }
    return openCodec(error);
}

bool Decoder::openCodec(int *error)
{
    AVStream *st = m_format->streams[m_streamIndex];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
        *error = BASS_ERROR_CODEC;
        return false;
    }
    m_codec = avcodec_alloc_context3(codec);
    if (!m_codec || avcodec_parameters_to_context(m_codec, st->codecpar) < 0) {
        *error = BASS_ERROR_MEM;
        return false;
    }
    m_codec->pkt_timebase = st->time_base;
    if (avcodec_open2(m_codec, codec, nullptr) < 0) {
        *error = BASS_ERROR_CODEC;
        return false;
    }
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        if (int(i) != m_streamIndex)
            m_format->streams[i]->discard = AVDISCARD_ALL;
    }
    m_ctype = ctypeFor(st->codecpar->codec_id);
    return true;
}

bool Decoder::decodeFirstFrame(int64_t &firstPacketPos, int *error)
{
    // The first frame fixes the output rate and channel count.
    *error = BASS_ERROR_FILEFORM;
    for (int tries = 0; tries < MaxPacketsBeforeAudio; ++tries) {
        if (m_packet->size > 0 || m_packet->data) {
            if (m_packet->stream_index == m_streamIndex) {
                if (firstPacketPos < 0)
                    firstPacketPos = m_packet->pos;
                m_pendingOffset = m_packet->pos >= 0 ? m_packet->pos : avio_tell(m_io);
                countPacket(m_packet->size);
                avcodec_send_packet(m_codec, m_packet);
            }
            av_packet_unref(m_packet);
        }
        if (avcodec_receive_frame(m_codec, m_frame) == 0)
            return m_frame->sample_rate > 0 && m_frame->ch_layout.nb_channels > 0;
        const int r = av_read_frame(m_format, m_packet);
        if (r < 0) {
            *error = r == AVERROR_EXIT ? BASS_ERROR_FILEOPEN : BASS_ERROR_FILEFORM;
            return false;
        }
    }
    return false;
}

int64_t Decoder::estimatedLength(int64_t firstPacketPos) const
{
    const AVStream *st = m_format->streams[m_streamIndex];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return av_rescale_q(st->duration, st->time_base, AVRational{1, m_rate});
    if (m_format->duration != AV_NOPTS_VALUE && m_format->duration > 0)
        return av_rescale(m_format->duration, m_rate, AV_TIME_BASE);
    if (m_codec->bit_rate > 0 && m_source->length() > 0) {
        // Constant bit rate estimate from the size of the audio data.
        const int64_t bytes = m_source->length() - std::max<int64_t>(firstPacketPos, 0);
        return int64_t(double(bytes) * 8.0 / double(m_codec->bit_rate) * m_rate);
    }
    return -1;
}

bool Decoder::convertFrame()
{
    const int inRate = m_frame->sample_rate;
    const int inChannels = m_frame->ch_layout.nb_channels;
    countFrame(m_frame->nb_samples, inRate);
    if (!m_swr || inRate != m_swrInRate || inChannels != m_swrInChannels ||
        m_frame->format != m_swrInFormat) {
        if (m_swr)
            swr_free(&m_swr);
        AVChannelLayout outLayout;
        av_channel_layout_default(&outLayout, m_channels);
        AVChannelLayout inLayout;
        if (m_frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, inChannels);
        else
            av_channel_layout_copy(&inLayout, &m_frame->ch_layout);
        const int r = swr_alloc_set_opts2(&m_swr, &outLayout, AV_SAMPLE_FMT_S16, m_rate, &inLayout,
                                          AVSampleFormat(m_frame->format), inRate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (r < 0 || swr_init(m_swr) < 0)
            return false;
        m_swrInRate = inRate;
        m_swrInChannels = inChannels;
        m_swrInFormat = m_frame->format;
    }
    const int maxOut = swr_get_out_samples(m_swr, m_frame->nb_samples);
    if (maxOut < 0)
        return false;
    m_out.resize(size_t(maxOut) * size_t(m_channels));
    uint8_t *out[1] = {reinterpret_cast<uint8_t *>(m_out.data())};
    const int n =
        swr_convert(m_swr, out, maxOut, const_cast<const uint8_t **>(m_frame->extended_data),
                    m_frame->nb_samples);
    if (n < 0)
        return false;
    m_out.resize(size_t(n) * size_t(m_channels));

    if (m_seekTarget >= 0) {
        // Drop what lies before the seek target.
        int64_t start = m_seekTarget;
        const int64_t pts = m_frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE)
            start = av_rescale_q(pts, m_format->streams[m_streamIndex]->time_base,
                                 AVRational{1, m_rate});
        const int64_t drop = std::clamp<int64_t>(m_seekTarget - start, 0, n);
        if (drop > 0)
            m_out.erase(m_out.begin(), m_out.begin() + drop * m_channels);
        if (drop < n)
            m_seekTarget = -1;
    }
    av_frame_unref(m_frame);
    return true;
}

int Decoder::receive()
{
    int corrupt = 0;
    while (true) {
        const int r = avcodec_receive_frame(m_codec, m_frame);
        if (r == 0) {
            if (!convertFrame())
                return -1;
            if (m_out.empty())
                continue;
            return int(m_out.size() / size_t(m_channels));
        }
        if (r == AVERROR_EOF)
            return 0;
        if (r == AVERROR_INVALIDDATA && ++corrupt < MaxCorruptFrames)
            continue; // a damaged frame in the middle: skip it, keep the stream
        if (r != AVERROR(EAGAIN))
            return -1;
        if (m_draining)
            return 0;
        const int rr = av_read_frame(m_format, m_packet);
        if (rr == AVERROR_EXIT)
            return -1;
        if (rr < 0) {
            // End of the data (or a broken tail): drain what the codec still holds.
            m_draining = true;
            avcodec_send_packet(m_codec, nullptr);
            continue;
        }
        if (m_packet->stream_index == m_streamIndex) {
            m_pendingOffset = m_packet->pos >= 0 ? m_packet->pos : avio_tell(m_io);
            countPacket(m_packet->size);
            const int s = avcodec_send_packet(m_codec, m_packet);
            if (s == AVERROR_INVALIDDATA && ++corrupt >= MaxCorruptFrames) {
                av_packet_unref(m_packet);
                return -1;
            }
            if (s < 0 && s != AVERROR(EAGAIN) && s != AVERROR_INVALIDDATA) {
                av_packet_unref(m_packet);
                return -1;
            }
        }
        av_packet_unref(m_packet);
    }
}

int Decoder::decode(int64_t *encodedOffset)
{
    if (m_firstFrames > 0) {
        const int n = m_firstFrames;
        m_firstFrames = 0;
        *encodedOffset = m_pendingOffset;
        m_nextFrame += n;
        return n;
    }
    if (m_ended)
        return 0;
    const int n = receive();
    *encodedOffset = m_pendingOffset;
    if (n <= 0) {
        m_ended = n == 0;
        if (m_ended)
            finishMeasure();
        return n;
    }
    m_nextFrame += n;
    return n;
}

bool Decoder::seek(int64_t frame)
{
    if (!seekable() || frame < 0)
        return false;
    AVStream *st = m_format->streams[m_streamIndex];
    const int64_t ts = av_rescale_q(frame, AVRational{1, m_rate}, st->time_base);
    if (av_seek_frame(m_format, m_streamIndex, ts, AVSEEK_FLAG_BACKWARD) < 0 &&
        av_seek_frame(m_format, m_streamIndex, ts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0)
        return false;
    avcodec_flush_buffers(m_codec);
    if (m_swr)
        swr_free(&m_swr);
    m_firstFrames = 0;
    m_out.clear();
    m_draining = false;
    m_ended = false;
    m_seekTarget = frame;
    m_nextFrame = frame;
    // What is read again after the seek may carry its titles again.
    m_markOffsets.clear();
    return true;
}

} // namespace engine
