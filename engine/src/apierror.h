#pragma once

// The calling thread's error code (what BASS_ErrorGetCode returns next) and the helpers the
// C interface returns through: every call sets the code, on success to BASS_OK.

#include "bass.h"

// Visible outside the library for the engine's own tests.
#define ENGINE_INTERNAL __attribute__((visibility("default")))

namespace engine {

ENGINE_INTERNAL void setError(int code);
ENGINE_INTERNAL int lastError();

// What a failed call returns in place of a position or a count.
constexpr QWORD Fail64 = QWORD(-1);
constexpr DWORD Fail32 = DWORD(-1);

// Sets `code` and returns `value`: `return fail(BASS_ERROR_HANDLE, FALSE);`.
template <typename T> T fail(int code, T value)
{
    setError(code);
    return value;
}

// Sets BASS_OK and returns TRUE.
inline BOOL succeed()
{
    setError(BASS_OK);
    return TRUE;
}

} // namespace engine
