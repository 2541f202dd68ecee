// HLS segment demuxing on arbitrary bytes: transport stream packets with a metadata stream,
// packed audio behind an ID3 tag, and the tags themselves.
//
// Input layout: the segment. The same demuxer takes every input, so that metadata packets cut
// off at the end of one input meet the start of the next.

#include "klhlsdemuxer.h"
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
    demuxer.demux(chunk, input);
    // A transport stream is kept whole; packed audio loses its leading tag and nothing else.
    if (input.startsWith("ID3") && input.size() >= 10)
        check(input.endsWith(chunk.data) && input.size() - chunk.data.size() >= 10);
    else
        check(chunk.data == input);
    // Every text applies from the end of the segment.
    for (auto it = chunk.metas.cbegin(); it != chunk.metas.cend(); ++it)
        check(it.key() == uint(chunk.data.size()));

    const KLId3Tag tag(input);
    check(KLId3Tag::tagLength(input) <= input.size());
    tag.toString();
    tag.property(QStringLiteral("TXXX"));
    return 0;
}
