#pragma once

#include "bass.h"
#include "bytesource.h"
#include "oggcommentreader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
struct AVFrame;
struct SwrContext;

namespace engine {

// Decodes encoded audio read from a ByteSource into interleaved 16-bit PCM at the stream's own
// sample rate and channel count. Runs on one thread at a time (the creating thread, then the
// stream's decoder thread); never on the mixer thread.
class Decoder
{
public:
    struct Params
    {
        std::string contentType;
        std::string fileName;
        int64_t probeBytes = 0;
        bool probe = false; // ignore the content type and the name: look at the content
    };

    // Opens the source and decodes up to the first audio frame. Returns null with `error` set
    // (BASS_ERROR_FILEFORM, BASS_ERROR_CODEC, BASS_ERROR_MEM, BASS_ERROR_FILEOPEN).
    static std::unique_ptr<Decoder> open(std::unique_ptr<ByteSource> source, const Params &params,
                                         int *error);
    ~Decoder();

    int rate() const { return m_rate; }
    int channels() const { return m_channels; }
    DWORD ctype() const { return m_ctype; }
    // Length in frames, or -1 when unknown (live or unsized input).
    int64_t lengthFrames() const { return m_lengthFrames; }
    bool seekable() const;
    // Byte position of the first audio data in the source (after leading tags and headers).
    int64_t audioStart() const { return m_audioStart; }
    ByteSource *source() const { return m_source.get(); }

    // Decodes the next block. Returns the number of frames (> 0) left in `frames()`, 0 at the
    // end of the data, -1 after an unrecoverable error or abort. `encodedOffset` receives the
    // byte offset of the packet that starts the block (-1 when unknown).
    int decode(int64_t *encodedOffset);
    const int16_t *frames() const { return m_out.data(); }

    // Repositions to decoded frame `frame`; the next decode() starts exactly there.
    bool seek(int64_t frame);

    // Metadata found in the encoded data since the last call (titles of the links of a chained
    // Ogg stream): the encoded offset where each applies, and its text, in the order found.
    std::vector<std::pair<int64_t, std::string>> takeMarks();

    // The stream's bitrate in bit/s: the codec's nominal one when it stays the same from frame
    // to frame (constant bitrate), otherwise the average over the first MeasureSeconds of audio
    // (or of all of it, when it is shorter); 0 until then.
    int64_t bitrate() const { return m_bitrate; }
    static constexpr double MeasureSeconds = 3.0;

private:
    Decoder() = default;
    // Opening, in steps; each sets *error.
    bool openInput(const Params &params, int *error);
    bool openDemuxer(const Params &params, bool sized, int *error);
    bool openAudioStream(int *error); // finds the audio stream and opens its decoder
    bool openCodec(int *error);
    bool decodeFirstFrame(int64_t &firstPacketPos, int *error);
    // Frames in the whole stream: from the container, else from the size at a constant bit
    // rate; -1 when unknown.
    int64_t estimatedLength(int64_t firstPacketPos) const;
    bool convertFrame();
    int receive();
    // The AVIO callbacks; they pass what is read on to the Ogg comment reader.
    static int readThunk(void *opaque, uint8_t *buffer, int size);
    static int64_t seekThunk(void *opaque, int64_t offset, int whence);
    void addMark(int64_t offset, const std::string &text);
    // Bitrate measurement: every packet of the audio stream sent to the codec, every frame
    // that comes out, and the end of the data.
    void countPacket(int bytes);
    void countFrame(int samples, int rate);
    void finishMeasure();

    std::unique_ptr<ByteSource> m_source;
    AVIOContext *m_io = nullptr;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    SwrContext *m_swr = nullptr;
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    int m_streamIndex = -1;
    int m_rate = 0;
    int m_channels = 0;
    DWORD m_ctype = BASS_CTYPE_STREAM_OTHER;
    int64_t m_lengthFrames = -1;
    int64_t m_audioStart = 0;
    int64_t m_skipFrames = 0;  // frames still to drop after a seek
    int64_t m_seekTarget = -1; // frame a seek aims at, until the first frame is decoded
    int64_t m_nextFrame = 0;   // decoded position of the next frame returned
    int64_t m_pendingOffset = -1;
    bool m_draining = false;
    bool m_ended = false;
    std::vector<int16_t> m_out;
    int m_firstFrames = 0;
    int m_swrInRate = 0;
    int m_swrInChannels = 0;
    int m_swrInFormat = -1;

    std::unique_ptr<OggCommentReader> m_ogg; // only while the content is Ogg
    std::vector<std::pair<int64_t, std::string>> m_marks;
    std::vector<int64_t> m_markOffsets; // offsets that have a mark already (re-read data)

    int64_t m_bitrate = 0;
    int64_t m_measuredBytes = 0;
    double m_measuredSeconds = 0;
    int64_t m_nominalBitrate = 0;
    bool m_nominalVaries = false;
};

} // namespace engine
