#include "klcallbackregistry.h"

quintptr KLCallbackRegistry::add(void *object)
{
    std::lock_guard lock(m_mutex);
    const quintptr serial = ++m_lastSerial;
    m_objects.emplace(serial, object);
    return serial;
}

void KLCallbackRegistry::remove(quintptr serial)
{
    std::lock_guard lock(m_mutex);
    m_objects.erase(serial);
}
