#pragma once

#include <QtCore/qglobal.h>

#if defined(KELVANEPLAYER_LIBRARY)
#define KELVANEPLAYER_EXPORT Q_DECL_EXPORT
#else
#define KELVANEPLAYER_EXPORT Q_DECL_IMPORT
#endif
