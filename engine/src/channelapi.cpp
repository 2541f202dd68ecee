// The C interface of channels: play state, attributes and their slides, length and position,
// levels and syncs. Recording handles go to the recording's own functions.

#include "apichannel.h"
#include "apierror.h"
#include "bass.h"
#include "channel.h"
#include "engine.h"
#include "recording.h"

#include <algorithm>
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

extern "C" {

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

} // extern "C"
