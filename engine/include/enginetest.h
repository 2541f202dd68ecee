/* Test controls of the audio engine. Not for production use: they let tests of the layers
 * above exercise device events without touching real hardware.
 *
 * EngineTest_FailDevice: the open output device fails as if it were unplugged. The engine
 * replaces it by a stand-in that keeps the clock and discards the audio, and fires
 * BASS_SYNC_DEV_FAIL (data BASS_DEVFAIL_REMOVED) on every channel from its event thread.
 * Errors: BASS_ERROR_INIT.
 *
 * EngineTest_ChangeDeviceFormat: the open output device changes to `freq` Hz and `chans`
 * channels; BASS_SYNC_DEV_FORMAT fires on every channel once the mixer runs in the new format.
 * Errors: BASS_ERROR_INIT, BASS_ERROR_FORMAT, BASS_ERROR_DRIVER.
 */
#ifndef VELLACAST_ENGINE_ENGINETEST_H
#define VELLACAST_ENGINE_ENGINETEST_H

#include "bass.h"

#ifdef __cplusplus
extern "C" {
#endif

BASSDEF(BOOL) EngineTest_FailDevice(void);
BASSDEF(BOOL) EngineTest_ChangeDeviceFormat(DWORD freq, DWORD chans);

#ifdef __cplusplus
}
#endif

#endif
