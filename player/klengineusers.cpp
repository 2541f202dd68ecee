#include "klengineusers.h"

#include "klbass.h"

#include <mutex>

namespace {

struct Users
{
    std::mutex mutex;
    int count = 0;
    bool deviceOpen = false;
    int lastSerial = 0;
};

Users &users()
{
    static Users shared;
    return shared;
}

} // namespace

int KLEngineUsers::enter()
{
    Users &u = users();
    std::lock_guard locker(u.mutex);
    if (u.count == 0)
        KLBass::configInit();
    ++u.count;
    return ++u.lastSerial;
}

void KLEngineUsers::leave()
{
    Users &u = users();
    std::lock_guard locker(u.mutex);
    --u.count;
    if (u.count == 0 && u.deviceOpen) {
        KLBass::free();
        u.deviceOpen = false;
    }
}

void KLEngineUsers::openDevice()
{
    Users &u = users();
    std::lock_guard locker(u.mutex);
    if (!u.deviceOpen) {
        KLBass::init();
        u.deviceOpen = true;
    }
}

void KLEngineUsers::reopenDevice()
{
    Users &u = users();
    std::lock_guard locker(u.mutex);
    if (!u.deviceOpen)
        return;
    KLBass::free();
    KLBass::init();
}

int KLEngineUsers::count()
{
    Users &u = users();
    std::lock_guard locker(u.mutex);
    return u.count;
}
