#pragma once

#include <QObject>

namespace VC {

// The property writers' compare-assign-notify: stores value in member and emits signal of
// object with it, unless member already equals value. Returns whether anything changed. Doubles
// compare exactly, so that a change from -inf to a finite level (or back) is always seen.
template <typename Object, typename T, typename Signal>
bool assign(Object *object, T &member, const T &value, Signal signal)
{
    if (member == value)
        return false;
    member = value;
    emit(object->*signal)(value);
    return true;
}

} // namespace VC
