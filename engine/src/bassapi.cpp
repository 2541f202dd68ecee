// The C interface: argument checks, handle look-up and error codes around the engine.

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
using engine::Engine;
using engine::fail;
using engine::Fail32;
using engine::Fail64;
using engine::succeed;

namespace {

Engine &E()
{
    return Engine::instance();
}

std::shared_ptr<Channel> lookup(DWORD handle)
{
    auto ch = E().channel(handle);
    if (!ch || ch->freed.load())
        return nullptr;
    return ch;
}

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

// ---------------------------------------------------------------- channels

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelPlay(handle);
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (!E().isInitialized())
        return fail(BASS_ERROR_INIT, FALSE);
    if (restart && ch->kind == Channel::Kind::Decoding && ch->seekable) {
        if (!ch->seek(0))
            return fail(lookup(handle) ? BASS_ERROR_POSITION : BASS_ERROR_HANDLE, FALSE);
        ch->rearmPosSyncs(0);
    }
    ch->ended.store(false, std::memory_order_release);
    ch->playState.store(Channel::Playing, std::memory_order_release);
    if (ch->freed.load())
        return fail(BASS_ERROR_HANDLE, FALSE);
    return succeed();
}

BOOL BASS_ChannelPause(DWORD handle)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelPause(handle);
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    int expected = Channel::Playing;
    if (ch->playState.compare_exchange_strong(expected, Channel::Paused))
        return succeed();
    return fail(expected == Channel::Paused ? BASS_ERROR_ALREADY : BASS_ERROR_NOPLAY, FALSE);
}

BOOL BASS_ChannelStop(DWORD handle)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelStop(handle);
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    ch->playState.store(Channel::Stopped, std::memory_order_release);
    if (ch->flags & BASS_STREAM_AUTOFREE)
        E().freeChannel(handle);
    return succeed();
}

BOOL BASS_ChannelFree(DWORD handle)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelFree(handle);
    return BASS_StreamFree(handle);
}

DWORD BASS_ChannelIsActive(DWORD handle)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelIsActive(handle);
    auto ch = lookup(handle);
    if (!ch)
        return fail<DWORD>(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
    engine::setError(BASS_OK);
    switch (ch->playState.load()) {
    case Channel::Playing:
        if (E().outputPaused())
            return BASS_ACTIVE_PAUSED_DEVICE;
        return ch->stalled.load() ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
    case Channel::Paused:
        return BASS_ACTIVE_PAUSED;
    default:
        return BASS_ACTIVE_STOPPED;
    }
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO *info)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelGetInfo(handle, info);
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    std::memset(info, 0, sizeof(*info));
    info->freq = DWORD(ch->rate);
    info->chans = DWORD(ch->channels);
    info->flags = ch->flags;
    info->ctype = ch->ctype;
    info->origres = 16;
    info->filename = ch->fileName.empty() ? nullptr : ch->fileName.c_str();
    return succeed();
}

BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (!std::isfinite(value))
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    std::lock_guard lock(ch->mutex);
    switch (attrib) {
    case BASS_ATTRIB_VOL:
        if (value < 0)
            return fail(BASS_ERROR_ILLPARAM, FALSE);
        ch->volTarget.store(value);
        ch->volSlideMs.store(time);
        if (time == 0)
            ch->volNow.store(value);
        break;
    case BASS_ATTRIB_FREQ:
        if (value != 0 && (value < 100 || value > 1000000))
            return fail(BASS_ERROR_ILLPARAM, FALSE);
        ch->freqTarget.store(value);
        ch->freqSlideMs.store(time);
        if (time == 0)
            ch->freqNow.store(value == 0 ? float(ch->rate) : value);
        break;
    case BASS_ATTRIB_PUSH_LIMIT:
        if (ch->kind != Channel::Kind::Push)
            return fail(BASS_ERROR_ILLTYPE, FALSE);
        if (time != 0 || value < 0)
            return fail(BASS_ERROR_ILLPARAM, FALSE);
        ch->pushLimit.store(int64_t(value));
        return succeed();
    case BASS_ATTRIB_LOUDNESS:
        if (time != 0)
            return fail(BASS_ERROR_ILLPARAM, FALSE);
        ch->loudnessOn.store(value != 0, std::memory_order_relaxed);
        return succeed();
    case BASS_ATTRIB_LOUDNESS_M:
    case BASS_ATTRIB_LOUDNESS_S:
        return fail(BASS_ERROR_NOTAVAIL, FALSE); // measured, not set
    default:
        return fail(BASS_ERROR_ILLTYPE, FALSE);
    }
    ch->attrSeq.fetch_add(1, std::memory_order_acq_rel);
    return succeed();
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value)
{
    return BASS_ChannelSlideAttribute(handle, attrib, value, 0);
}

BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float *value)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (!value)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    switch (attrib) {
    case BASS_ATTRIB_VOL:
        *value = ch->volNow.load();
        break;
    case BASS_ATTRIB_FREQ: {
        const float f = ch->freqNow.load();
        *value = f > 0 ? f : float(ch->rate);
        break;
    }
    case BASS_ATTRIB_PUSH_LIMIT:
        if (ch->kind != Channel::Kind::Push)
            return fail(BASS_ERROR_ILLTYPE, FALSE);
        *value = float(ch->pushLimit.load());
        break;
    case BASS_ATTRIB_BITRATE:
        if (ch->kind != Channel::Kind::Decoding)
            return fail(BASS_ERROR_ILLTYPE, FALSE);
        *value = float(ch->bitrate.load(std::memory_order_relaxed)) / 1000.0f;
        break;
    case BASS_ATTRIB_LOUDNESS:
        *value = ch->loudnessOn.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
        break;
    case BASS_ATTRIB_LOUDNESS_M:
        *value = ch->loudnessMomentary.load(std::memory_order_relaxed);
        break;
    case BASS_ATTRIB_LOUDNESS_S:
        *value = ch->loudnessShortTerm.load(std::memory_order_relaxed);
        break;
    default:
        return fail(BASS_ERROR_ILLTYPE, FALSE);
    }
    return succeed();
}

BOOL BASS_ChannelIsSliding(DWORD handle, DWORD attrib)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    engine::setError(BASS_OK);
    const bool vol = ch->volSliding.load();
    const bool freq = ch->freqSliding.load();
    if (attrib == BASS_ATTRIB_VOL)
        return vol;
    if (attrib == BASS_ATTRIB_FREQ)
        return freq;
    return vol || freq;
}

const char *BASS_ChannelGetTags(DWORD handle, DWORD tags)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail<const char *>(BASS_ERROR_HANDLE, nullptr);
    if (tags == BASS_TAG_HTTP) {
        // Fixed when the stream was made.
        if (ch->httpHeaders.empty())
            return fail<const char *>(BASS_ERROR_NOTAVAIL, nullptr);
        engine::setError(BASS_OK);
        return ch->httpHeaders.c_str();
    }
    if (tags != BASS_TAG_META)
        return fail<const char *>(BASS_ERROR_NOTAVAIL, nullptr);
    std::lock_guard lock(ch->mutex);
    if (ch->metaTags.empty())
        return fail<const char *>(BASS_ERROR_NOTAVAIL, nullptr);
    engine::setError(BASS_OK);
    // Valid until 16 newer tags have arrived or the channel is freed.
    return ch->metaTags.back().c_str();
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, Fail64);
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, Fail64);
    if (ch->lengthFrames < 0)
        return fail(BASS_ERROR_NOTAVAIL, Fail64);
    engine::setError(BASS_OK);
    return QWORD(ch->lengthFrames) * QWORD(ch->frameBytes());
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, Fail64);
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, Fail64);
    engine::setError(BASS_OK);
    return QWORD(ch->position()) * QWORD(ch->frameBytes());
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, FALSE);
    if (ch->kind != Channel::Kind::Decoding || !ch->seekable)
        return fail(BASS_ERROR_NOTAVAIL, FALSE);
    const int64_t frame = int64_t(pos / QWORD(ch->frameBytes()));
    if (ch->lengthFrames >= 0 && frame > ch->lengthFrames)
        return fail(BASS_ERROR_POSITION, FALSE);
    if (!ch->seek(frame))
        return fail(lookup(handle) ? BASS_ERROR_POSITION : BASS_ERROR_HANDLE, FALSE);
    ch->ended.store(false, std::memory_order_release);
    ch->rearmPosSyncs(frame);
    return succeed();
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, -1.0);
    if (pos == Fail64)
        return fail(BASS_ERROR_ILLPARAM, -1.0);
    engine::setError(BASS_OK);
    return double(pos / QWORD(ch->frameBytes())) / double(ch->rate);
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, Fail64);
    if (!(pos >= 0) || !std::isfinite(pos))
        return fail(BASS_ERROR_ILLPARAM, Fail64);
    engine::setError(BASS_OK);
    return QWORD(std::llround(pos * ch->rate)) * QWORD(ch->frameBytes());
}

BOOL BASS_ChannelGetLevelEx(DWORD handle, float *levels, float length, DWORD flags)
{
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (!levels || !(length > 0) || length > 1.0f)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    if (ch->playState.load() != Channel::Playing)
        return fail(BASS_ERROR_NOPLAY, FALSE);
    ch->levels(levels, length, flags);
    return succeed();
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelSetSync(handle, type, param, proc, user);
    auto ch = lookup(handle);
    if (!ch)
        return fail<HSYNC>(BASS_ERROR_HANDLE, 0);
    if (!proc)
        return fail<HSYNC>(BASS_ERROR_ILLPARAM, 0);
    const DWORD kind = type & ~(BASS_SYNC_ONETIME | BASS_SYNC_MIXTIME);
    switch (kind) {
    case BASS_SYNC_POS:
    case BASS_SYNC_END:
    case BASS_SYNC_META:
    case BASS_SYNC_STALL:
    case BASS_SYNC_DEV_FAIL:
    case BASS_SYNC_DEV_FORMAT:
        break;
    default:
        return fail<HSYNC>(BASS_ERROR_ILLTYPE, 0);
    }
    engine::SyncEntry s{
        E().newSyncId(), kind, bool(type & BASS_SYNC_ONETIME), 0, false, proc, user};
    if ((type & BASS_SYNC_MIXTIME) && (kind == BASS_SYNC_STALL || kind == BASS_SYNC_END)) {
        // Not under `mutex`: the mixer calls these holding only their own lock.
        ch->addMixtimeSync(s);
        if (ch->freed.load()) {
            ch->clearMixtimeSyncs();
            return fail<HSYNC>(BASS_ERROR_HANDLE, 0);
        }
        engine::setError(BASS_OK);
        return s.id;
    }
    std::lock_guard lock(ch->mutex);
    if (ch->freed.load())
        return fail<HSYNC>(BASS_ERROR_HANDLE, 0);
    if (kind == BASS_SYNC_POS) {
        s.posFrame = int64_t(param / QWORD(ch->frameBytes()));
        s.armed = s.posFrame >= ch->position();
    }
    ch->syncs.push_back(s);
    if (kind == BASS_SYNC_POS)
        ch->recomputePosSync();
    engine::setError(BASS_OK);
    return s.id;
}

BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync)
{
    if (engine::recording::isRecordHandle(handle))
        return engine::recording::channelRemoveSync(handle, sync);
    auto ch = lookup(handle);
    if (!ch)
        return fail(BASS_ERROR_HANDLE, FALSE);
    if (ch->removeMixtimeSync(sync))
        return succeed();
    std::lock_guard lock(ch->mutex);
    auto it = std::find_if(ch->syncs.begin(), ch->syncs.end(),
                           [&](const engine::SyncEntry &s) { return s.id == sync; });
    if (it == ch->syncs.end())
        return fail(BASS_ERROR_HANDLE, FALSE);
    ch->syncs.erase(it);
    ch->recomputePosSync();
    return succeed();
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
