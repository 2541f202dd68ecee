#include "vcdevlogging.h"

Q_LOGGING_CATEGORY(lcDevService, "vellacast.devservice")
