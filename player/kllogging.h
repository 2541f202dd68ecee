#pragma once

#include "klplayerglobal.h"

#include <QLoggingCategory>

// The one logging category of the player library; every library log line goes through it.
KELVANEPLAYER_EXPORT Q_DECLARE_LOGGING_CATEGORY(klLog)
