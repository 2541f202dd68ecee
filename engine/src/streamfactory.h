#pragma once

// How streams are built: the C interface's stream constructors after their argument checks,
// and the entry point for the parts of the engine that build streams from their own byte
// sources (internet streams, recording). Not part of the C interface.

#include "apierror.h"
#include "bass.h"
#include "bytesource.h"

#include <cstdint>
#include <memory>
#include <string>

namespace engine {

// Current value of a numeric / text configuration option (BASS_CONFIG_*).
ENGINE_INTERNAL DWORD configValue(DWORD option);
ENGINE_INTERNAL std::string configText(DWORD option);

struct SourceStreamParams
{
    // MIME type that picks the demuxer ("audio/mpeg", "audio/aacp", "application/ogg", ...).
    // When empty, fileName's extension decides; when that is empty too, the content is probed.
    std::string contentType;
    std::string fileName;
    // Most bytes the demuxer may read to decide the format; 0 = the engine's default.
    int64_t probeBytes = 0;
    // BASS_STREAM_* flags of the new stream (BASS_STREAM_AUTOFREE is honoured).
    DWORD flags = 0;
    // Seconds of decoded audio kept ahead of playback; 0 = the engine's default.
    double bufferSeconds = 0;
    // What BASS_TAG_HTTP answers: "name: value" strings, each ended by a NUL, and a NUL after
    // the last one; empty when the stream has none.
    std::string httpHeaders;
};

// Metadata hand-over for a stream built by createSourceStream. Safe to call from any thread,
// also after the stream is freed (then it does nothing).
class StreamMetadata
{
public:
    virtual ~StreamMetadata() = default;

    // `text` belongs to the audio that starts at encoded byte `offset` of the source (in the
    // coordinates of ByteSource::position(), i.e. after any in-band metadata was removed).
    // The decoder maps the offset to a decoded sample position; when playback passes it, the
    // channel's BASS_TAG_META becomes `text` and its BASS_SYNC_META syncs fire.
    virtual void post(int64_t offset, const std::string &text) = 0;

    // Makes `text` the channel's BASS_TAG_META at once, without firing a sync (for metadata
    // known before the first audio, such as what a server sends with its answer).
    virtual void setCurrent(const std::string &text) = 0;
};

struct CreatedStream
{
    HSTREAM handle = 0;
    std::shared_ptr<StreamMetadata> metadata;
};

// Builds a decoding stream over `source`. Reads on the calling thread until the format is
// known, then decodes on a thread of its own. On failure returns handle 0 with the calling
// thread's error code set (BASS_ERROR_INIT, BASS_ERROR_FILEFORM, BASS_ERROR_CODEC, ...); the
// source is destroyed in that case. Freeing the stream calls source->abort(); the source is
// destroyed on the decoder thread once that thread has stopped.
//
// BASS_StreamGetFilePosition on the stream answers from the source: CURRENT = position(),
// DOWNLOAD = available(), BUFFER = bufferPosition(), END = endPosition() (length(), or
// available() when that is -1), START = the decoder's first audio byte.
ENGINE_INTERNAL CreatedStream createSourceStream(std::unique_ptr<ByteSource> source,
                                                 const SourceStreamParams &params);

// The C interface's constructors, called once their arguments are checked (the engine is
// initialised, pointers are set, the format is in range). Each returns the new handle, or 0
// with the calling thread's error code set.

// A stream whose audio `proc` delivers from a thread of its own; STREAMPROC_PUSH makes a push
// stream fed by BASS_StreamPutData.
HSTREAM createProcStream(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user);
// A stream over `length` bytes at `data` (not copied: the caller keeps them alive).
HSTREAM createMemoryStream(const void *data, QWORD length, DWORD flags);
// A stream over the file at `path` (UTF-8) from `offset`, `length` bytes long (0 = to its end).
HSTREAM createFileStream(const std::string &path, QWORD offset, QWORD length, DWORD flags);
// A stream over what the caller's file procedures deliver.
HSTREAM createUserFileStream(DWORD system, DWORD flags, const BASS_FILEPROCS &procs, void *user);

} // namespace engine
