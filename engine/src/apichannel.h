#pragma once

#include "channel.h"
#include "engine.h"

#include <memory>

namespace engine {

// The engine, as the C interface's functions call it.
inline Engine &E()
{
    return Engine::instance();
}

// The channel of a handle as the C interface sees it: null when the handle is unknown or its
// channel has been freed.
inline std::shared_ptr<Channel> lookup(DWORD handle)
{
    auto ch = E().channel(handle);
    if (!ch || ch->freed.load())
        return nullptr;
    return ch;
}

} // namespace engine
