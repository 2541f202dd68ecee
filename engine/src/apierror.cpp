#include "apierror.h"

namespace engine {

namespace {
thread_local int t_error = BASS_OK;
} // namespace

void setError(int code)
{
    t_error = code;
}

int lastError()
{
    return t_error;
}

} // namespace engine
