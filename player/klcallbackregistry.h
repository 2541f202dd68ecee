#pragma once

#include "klplayerglobal.h"

#include <QtGlobal>

#include <mutex>
#include <unordered_map>

// Objects that the engine calls back on its own threads, each known by a serial number that is
// never given out twice. The engine gets the serial as its user data, not the object's address:
// a callback that arrives after its object is gone finds nothing, and one meant for an object
// that is gone never reaches a newer object that happens to live at the same address.
class KELVANEPLAYER_EXPORT KLCallbackRegistry
{
public:
    // Registers `object` and returns its serial (never 0).
    quintptr add(void *object);
    // Forgets the object of `serial`. Once this returns, no callback runs on it any more.
    void remove(quintptr serial);

    // The engine's user data for `serial`, and back.
    static void *userData(quintptr serial) { return reinterpret_cast<void *>(serial); }
    static quintptr serialOf(void *user) { return reinterpret_cast<quintptr>(user); }

    // Runs `call` on the object registered under the engine's user data `user`, holding the
    // registry's lock so that the object cannot be removed meanwhile; does nothing when there
    // is none. Returns whether it ran.
    template <typename T, typename Call> bool with(void *user, Call &&call)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_objects.find(serialOf(user));
        if (it == m_objects.end())
            return false;
        call(static_cast<T *>(it->second));
        return true;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<quintptr, void *> m_objects;
    quintptr m_lastSerial = 0;
};
