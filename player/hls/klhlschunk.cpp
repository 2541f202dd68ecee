#include "klhlschunk.h"

static void registerHlsChunk()
{
    qRegisterMetaType<KLHlsChunk>("KLHlsChunk");
    qRegisterMetaType<KLHlsChunkMap>("QMap<quint32,KLHlsChunk>");
}
Q_CONSTRUCTOR_FUNCTION(registerHlsChunk)
