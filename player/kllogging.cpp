#include "kllogging.h"

Q_LOGGING_CATEGORY(klLog, "ru.kelvane.player")
