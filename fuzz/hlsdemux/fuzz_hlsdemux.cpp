// HLS segment demuxing on arbitrary bytes: transport stream packets with a metadata stream,
// packed audio behind an ID3 tag, fragmented MP4 (boxes, sample tables, "emsg" tags), and the
// tags themselves.
//
// Input layout: the segment. The same demuxer takes every input, so that metadata packets cut
// off at the end of one input meet the start of the next. An input that begins with an MP4 box
// is also its own initialization segment (the seeds put both in one input).

#include "klhlsdemuxer.h"
#include "klhlsmp4reader.h"
#include "klid3tag.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static KLHlsDemuxer demuxer;
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    KLHlsChunk chunk;
    chunk.metas.insert(1, QStringLiteral("stale"));
    const bool mp4 = KLHlsMp4Reader::looksLikeMp4(input);
    demuxer.demux(chunk, input, mp4 ? input : QByteArray());
    // A transport stream is kept whole; packed audio loses its leading tag and nothing else;
    // fragmented MP4 gives at most a 7-byte header for each sample byte taken from the input.
    if (mp4)
        check(chunk.data.size() <= 8 * input.size());
    else if (input.startsWith("ID3") && input.size() >= 10)
        check(input.endsWith(chunk.data) && input.size() - chunk.data.size() >= 10);
    else
        check(chunk.data == input);
    // Every text applies from the end of the segment.
    for (auto it = chunk.metas.cbegin(); it != chunk.metas.cend(); ++it)
        check(it.key() == uint(chunk.data.size()));

    // The box reader on its own: the input as both parts, then as a segment of the last
    // initialization that was read.
    static KLHlsMp4Reader reader;
    KLHlsMp4Reader fresh;
    if (fresh.readInit(input)) {
        check(fresh.codec() != KLHlsMp4Reader::Codec::None && fresh.error().isEmpty());
        reader = fresh;
    }
    QList<QByteArray> tags;
    const QByteArray audio = reader.readSegment(input, &tags);
    check(audio.size() <= 8 * input.size());
    for (const QByteArray &tag : std::as_const(tags))
        check(tag.startsWith("ID3") && tag.size() <= input.size());

    const KLId3Tag tag(input);
    check(KLId3Tag::tagLength(input) <= input.size());
    tag.toString();
    tag.property(QStringLiteral("TXXX"));
    return 0;
}
