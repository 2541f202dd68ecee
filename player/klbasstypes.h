#pragma once

// The engine's integer types as the library's public headers use them: stream and sync handles,
// 32-bit flags and 64-bit byte positions. They are the very types of the engine's own header,
// which stays private to the library, so both may be included together.
#include <stdint.h>

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef DWORD HSTREAM;
typedef DWORD HSYNC;
