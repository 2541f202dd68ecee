// Fuzz target for the parsers that read what internet radio servers send: the ICY metadata
// splitter, the PLS/M3U playlist reader, the reader of HTTP response heads and the reader of an
// Ogg stream's comment headers.

#include "httpresponsehead.h"
#include "icyparser.h"
#include "netplaylist.h"
#include "oggcommentreader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using engine::HttpResponseHead;
using engine::IcyParser;
using engine::NetPlaylist;
using engine::OggCommentReader;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The Ogg reader in blocks of `step`, with a gap (a seek) a third of the way in.
void readOggComments(const uint8_t *body, size_t bodySize, size_t step)
{
    int64_t lastTitleAt = 0;
    OggCommentReader ogg([&](const std::string &title, int64_t offset) {
        check(title.rfind("StreamTitle='", 0) == 0 && title.size() >= 15 &&
              title.compare(title.size() - 2, 2, "';") == 0);
        check(title.size() <= 2 * OggCommentReader::MaxFieldBytes + 18);
        for (const char c : title)
            check(uint8_t(c) >= 0x20 && c != 0x7F);
        check(offset > lastTitleAt);
        lastTitleAt = offset;
    });
    const size_t gapAt = bodySize / 3;
    for (size_t i = 0; i < bodySize; i += step)
        ogg.feed(body + i, std::min(step, bodySize - i), int64_t(i) + (i >= gapAt ? 1000 : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    // The first bytes choose the interval and the block sizes; the rest is the body.
    const int64_t metaint = 1 + (int64_t(data[0]) << 8 | data[1]) % 20000;
    const size_t step = 1 + data[2] % 97;
    const uint8_t *body = data + 3;
    const size_t bodySize = size - 3;

    IcyParser icy(metaint);
    int64_t audio = 0;
    int64_t lastOffset = 0;
    size_t metaBytes = 0;
    for (size_t i = 0; i < bodySize; i += step) {
        const size_t n = std::min(step, bodySize - i);
        icy.feed(
            body + i, n, [&](const uint8_t *, size_t s) { audio += int64_t(s); },
            [&](const std::string &text, int64_t offset) {
                check(!text.empty() && text.size() <= IcyParser::MaxMetaBytes);
                check(text.find('\0') == std::string::npos);
                check(offset >= lastOffset && offset == audio && offset % metaint == 0);
                lastOffset = offset;
                metaBytes += text.size();
            });
    }
    check(audio == icy.audioBytes());
    check(size_t(audio) + metaBytes <= bodySize);
    readOggComments(body, bodySize, step);

    const std::string_view text(reinterpret_cast<const char *>(body), bodySize);
    const std::string_view type = text.substr(0, std::min<size_t>(text.size(), data[2] % 24));
    const NetPlaylist::Kind kind =
        NetPlaylist::detect(type, text.substr(0, 64), text.substr(0, 16));
    for (NetPlaylist::Kind k : {kind, NetPlaylist::Kind::Pls, NetPlaylist::Kind::M3u}) {
        const auto entries = NetPlaylist::parse(k, text);
        check(entries.size() <= NetPlaylist::MaxEntries);
        for (const std::string &e : entries)
            check(!e.empty() && e.size() <= NetPlaylist::MaxEntryLength &&
                  e.find_first_of("\r\n") == std::string::npos);
    }

    // The same bytes as header lines one by one, and as a head block at the start of a body.
    HttpResponseHead lines;
    for (size_t at = 0; at < bodySize;) {
        const size_t end = std::min(text.find('\n', at), bodySize - 1) + 1;
        if (lines.addLine(text.data() + at, end - at) == HttpResponseHead::Line::Failed)
            break;
        check(lines.headers().size() <= HttpResponseHead::MaxLines + 1);
        at = end;
    }
    (void)lines.length();
    HttpResponseHead block;
    std::string rest;
    for (size_t i = 0; i < bodySize; i += step) {
        const auto raw = block.addRaw(text.data() + i, std::min(step, bodySize - i), &rest);
        if (raw == HttpResponseHead::Raw::Complete)
            check(block.sawStatus() && block.headers().size() <= HttpResponseHead::MaxLines);
        if (raw != HttpResponseHead::Raw::More)
            break;
    }
    check(block.takeRaw().size() <= HttpResponseHead::MaxBytes);
    (void)block.length();
    return 0;
}
