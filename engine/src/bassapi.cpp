// The C interface: argument checks, handle look-up and error codes around the engine.

#include "apichannel.h"
#include "apierror.h"
#include "bass.h"
#include "channel.h"
#include "decoder.h"
#include "engine.h"
#include "enginetest.h"
#include "recording.h"
#include "streamfactory.h"
#include "textpool.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <cstring>

using engine::Channel;
using engine::E;
using engine::Engine;
using engine::fail;
using engine::Fail32;
using engine::Fail64;
using engine::lookup;
using engine::succeed;

namespace {

std::string utf8FromWide(const wchar_t *text)
{
    std::string out;
    for (; *text; ++text) {
        const uint32_t c = uint32_t(*text);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------- engine

extern "C" {

BOOL BASS_SetConfig(DWORD option, DWORD value)
{
    return E().config().set(option, value) ? succeed() : fail(BASS_ERROR_ILLTYPE, FALSE);
}

DWORD BASS_GetConfig(DWORD option)
{
    DWORD value = 0;
    if (!E().config().get(option, value))
        return fail(BASS_ERROR_ILLTYPE, Fail32);
    engine::setError(BASS_OK);
    return value;
}

BOOL BASS_SetConfigPtr(DWORD option, const void *value)
{
    return E().config().setPtr(option, value) ? succeed() : fail(BASS_ERROR_ILLTYPE, FALSE);
}

const void *BASS_GetConfigPtr(DWORD option)
{
    const void *value = nullptr;
    if (!E().config().getPtr(option, value))
        return fail<const void *>(BASS_ERROR_ILLTYPE, nullptr);
    engine::setError(BASS_OK);
    return value;
}

DWORD BASS_GetVersion(void)
{
    engine::setError(BASS_OK);
    return BASSVERSION;
}

int BASS_ErrorGetCode(void)
{
    return engine::lastError();
}

BOOL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO *info)
{
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    // Names and ids of devices that come and go (each headset has its own) are not kept for
    // ever; those of the devices in use are asked for again and again and stay.
    static engine::TextPool names(256);
    const std::vector<engine::DeviceEntry> list = E().devices();
    if (device >= list.size())
        return fail(BASS_ERROR_DEVICE, FALSE);
    const engine::DeviceEntry &e = list[device];
    info->name = names.intern(e.name);
    info->driver = names.intern(e.id);
    info->flags = BASS_DEVICE_ENABLED;
    if (e.isDefault || (list.size() == 1 && device == 0))
        info->flags |= BASS_DEVICE_DEFAULT;
    if (E().currentDevice() == int(device))
        info->flags |= BASS_DEVICE_INIT;
    return succeed();
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void *, const void *)
{
    int error = BASS_OK;
    return E().init(device, freq, flags, error) ? succeed() : fail(error, FALSE);
}

BOOL BASS_Free(void)
{
    int error = BASS_OK;
    return E().free(error) ? succeed() : fail(error, FALSE);
}

BOOL BASS_GetInfo(BASS_INFO *info)
{
    if (!E().isInitialized())
        return fail(BASS_ERROR_INIT, FALSE);
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    std::memset(info, 0, sizeof(*info));
    info->freq = DWORD(E().currentFormat().rate);
    info->speakers = DWORD(E().currentFormat().channels);
    info->latency = DWORD(E().latencyMs());
    info->minrate = 1000;
    info->maxrate = 384000;
    return succeed();
}

DWORD BASS_GetDevice(void)
{
    const int device = E().currentDevice();
    if (device < 0)
        return fail(BASS_ERROR_INIT, Fail32);
    engine::setError(BASS_OK);
    return DWORD(device);
}

BOOL BASS_Start(void)
{
    int error = BASS_OK;
    return E().setOutputPaused(false, error) ? succeed() : fail(error, FALSE);
}

BOOL BASS_Pause(void)
{
    int error = BASS_OK;
    return E().setOutputPaused(true, error) ? succeed() : fail(error, FALSE);
}

HPLUGIN BASS_PluginLoad(const char *file, DWORD)
{
    if (!file)
        return fail<HPLUGIN>(BASS_ERROR_FILEOPEN, 0);
    const std::string name(file);
    // The add-ons are built in: loading one checks that its decoders are present.
    if (name.find("bassopus") != std::string::npos) {
        if (!avcodec_find_decoder(AV_CODEC_ID_OPUS) || !av_find_input_format("ogg"))
            return fail<HPLUGIN>(BASS_ERROR_FILEFORM, 0);
        engine::setError(BASS_OK);
        return 1;
    }
    if (name.find("basshls") != std::string::npos) {
        if (!av_find_input_format("mpegts") || !avcodec_find_decoder(AV_CODEC_ID_AAC))
            return fail<HPLUGIN>(BASS_ERROR_FILEFORM, 0);
        engine::setError(BASS_OK);
        return 2;
    }
    return fail<HPLUGIN>(BASS_ERROR_FILEOPEN, 0);
}

BOOL BASS_PluginFree(HPLUGIN handle)
{
    return handle == 1 || handle == 2 ? succeed() : fail(BASS_ERROR_HANDLE, FALSE);
}

// ---------------------------------------------------------------- streams

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user)
{
    if (!E().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    if (!proc)
        return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    if (freq < 100 || freq > 384000)
        return fail<HSTREAM>(BASS_ERROR_FREQ, 0);
    if (chans < 1 || chans > 8 || (flags & (BASS_SAMPLE_8BITS | BASS_SAMPLE_FLOAT)))
        return fail<HSTREAM>(BASS_ERROR_FORMAT, 0);
    return engine::createProcStream(freq, chans, flags, proc, user);
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length, DWORD flags)
{
    if (!E().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    if (!file)
        return fail<HSTREAM>(BASS_ERROR_FILEOPEN, 0);
    const DWORD streamFlags = flags & ~BASS_UNICODE;
    if (mem) {
        if (length == 0)
            return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
        return engine::createMemoryStream(static_cast<const uint8_t *>(file) + offset, length,
                                          streamFlags);
    }
    const std::string path = (flags & BASS_UNICODE)
                                 ? utf8FromWide(static_cast<const wchar_t *>(file))
                                 : std::string(static_cast<const char *>(file));
    return engine::createFileStream(path, offset, length, streamFlags);
}

HSTREAM BASS_StreamCreateFileUser(DWORD system, DWORD flags, const BASS_FILEPROCS *procs,
                                  void *user)
{
    if (!E().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    if (system != STREAMFILE_NOBUFFER && system != STREAMFILE_BUFFER)
        return fail<HSTREAM>(BASS_ERROR_ILLTYPE, 0);
    if (!procs || !procs->read)
        return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    return engine::createUserFileStream(system, flags, *procs, user);
}

BOOL BASS_StreamFree(HSTREAM handle)
{
    return E().freeChannel(handle) ? succeed() : fail(BASS_ERROR_HANDLE, FALSE);
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, Fail64);
    if (ch->kind != Channel::Kind::Decoding)
        return fail(BASS_ERROR_NOTFILE, Fail64);
    std::lock_guard lock(ch->prodMutex);
    if (!ch->decoder)
        return fail(ch->abortProducer ? BASS_ERROR_HANDLE : BASS_ERROR_NOTFILE, Fail64);
    const engine::ByteSource *src = ch->decoder->source();
    const int64_t pos = src->position();
    const int64_t avail = src->available();
    int64_t value = -1;
    switch (mode) {
    case BASS_FILEPOS_CURRENT:
        value = pos;
        break;
    case BASS_FILEPOS_DOWNLOAD:
        value = avail;
        break;
    case BASS_FILEPOS_END:
        value = src->endPosition();
        break;
    case BASS_FILEPOS_START:
        value = ch->decoder->audioStart();
        break;
    case BASS_FILEPOS_CONNECTED:
        value = 1;
        break;
    case BASS_FILEPOS_BUFFER:
        value = src->bufferPosition();
        break;
    default:
        return fail(BASS_ERROR_ILLTYPE, Fail64);
    }
    engine::setError(BASS_OK);
    return QWORD(value);
}

DWORD BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, Fail32);
    if (ch->kind != Channel::Kind::Push)
        return fail(BASS_ERROR_NOTAVAIL, Fail32);
    const bool end = length & BASS_STREAMPROC_END;
    const DWORD bytes = length & ~BASS_STREAMPROC_END;
    const size_t fb = size_t(ch->frameBytes());
    std::lock_guard lock(ch->pushMutex);
    if (ch->pushEnded)
        return fail(BASS_ERROR_ENDED, Fail32);
    if (buffer && bytes > 0) {
        if (bytes % fb != 0)
            return fail(BASS_ERROR_ILLPARAM, Fail32); // whole frames only
        const int64_t limit = ch->pushLimit.load();
        const size_t capacity = ch->ring.capacity() * fb;
        const size_t max = limit > 0 ? std::min<size_t>(size_t(limit), capacity) : capacity;
        const size_t queued = ch->ring.writable() <= ch->ring.capacity()
                                  ? (ch->ring.capacity() - ch->ring.writable()) * fb
                                  : 0;
        // A full queue refuses the whole block: the writer paces itself and retries.
        if (queued + bytes > max)
            return fail(BASS_ERROR_BUSY, Fail32);
        ch->measureLoudness(static_cast<const int16_t *>(buffer), bytes / fb);
        ch->ring.write(static_cast<const int16_t *>(buffer), bytes / fb);
    }
    if (end) {
        ch->pushEnded = true;
        ch->sourceEnded.store(true, std::memory_order_release);
    }
    engine::setError(BASS_OK);
    return DWORD((ch->ring.capacity() - ch->ring.writable()) * fb);
}

// ---------------------------------------------------------------- test controls

BOOL EngineTest_FailDevice(void)
{
    int error = BASS_OK;
    return E().failDevice(error) ? succeed() : fail(error, FALSE);
}

BOOL EngineTest_ChangeDeviceFormat(DWORD freq, DWORD chans)
{
    int error = BASS_OK;
    return E().changeDeviceFormat(engine::DeviceFormat{int(freq), int(chans)}, error)
               ? succeed()
               : fail(error, FALSE);
}

} // extern "C"
