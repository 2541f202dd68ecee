#pragma once

// Recording channels for the engine's channel functions. A handle is a recording channel when
// isRecordHandle() says so; the channel functions hand such handles to the calls below.

#include "bass.h"

namespace engine::recording {

// Recording handles carry this tag in their top bits; other engine handles never do.
constexpr DWORD HandleTag = 0x7E000000u;
constexpr DWORD HandleTagMask = 0xFF000000u;

inline bool isRecordHandle(DWORD handle)
{
    return (handle & HandleTagMask) == HandleTag;
}

// Each returns the result of the matching BASS_Channel* function and sets the error code.
BOOL channelFree(DWORD handle);
BOOL channelStop(DWORD handle);
BOOL channelPlay(DWORD handle);
BOOL channelPause(DWORD handle);
DWORD channelIsActive(DWORD handle);
BOOL channelGetInfo(DWORD handle, BASS_CHANNELINFO *info);
HSYNC channelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user);
BOOL channelRemoveSync(DWORD handle, HSYNC sync);

// Stops every recording and frees every recording device (engine shutdown, tests).
void shutdown();

} // namespace engine::recording
