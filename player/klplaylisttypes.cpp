#include "klplaylisttypes.h"

// Published under its own name so that property and signal signatures spelled with the alias
// resolve through the meta-type system.
static void registerPlaylistStreams()
{
    qRegisterMetaType<KLPlaylistStreams>("KLPlaylistStreams");
}
Q_CONSTRUCTOR_FUNCTION(registerPlaylistStreams)
