#pragma once

#include <pthread.h>

namespace engine {

// Names the calling thread for debuggers, top and /proc (at most 15 characters are kept).
inline void nameThisThread(const char *name)
{
    pthread_setname_np(pthread_self(), name);
}

} // namespace engine
