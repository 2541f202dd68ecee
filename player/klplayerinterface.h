#pragma once

#include "klbasstypes.h"
#include "klplayerglobal.h"

#include <QString>
#include <QUrl>

class QObject;
class KLNetworkAccessManager;

// What the parts that a player owns (its playlist parser and its playback back-ends) use of
// their player. The player implements it; the parts keep a guarded pointer to playerObject()
// and never touch the player once that object is gone. The player's published properties (its
// streams among them) are read through playerObject() as a KLPlayerSource.
class KELVANEPLAYER_EXPORT KLPlayerInterface
{
public:
    virtual ~KLPlayerInterface();

    // The player as an object: the parent of its parts and the target of their guarded
    // pointers.
    virtual QObject *playerObject() = 0;
    // Text at the head of every log line about the player.
    virtual QString playerName() const = 0;
    // The player's network access manager; null when it has none.
    virtual KLNetworkAccessManager *nam() const = 0;
    // The handle being played, 0 when none. Safe to read from any thread.
    virtual HSTREAM stream() const = 0;
    // The bitrate to play for an adaptive-bitrate coefficient between 0 and 1.
    virtual uint bitrateByCoef(double coef) const = 0;
    // One of the addresses of the player's streams with this bitrate; empty when none.
    virtual QUrl streamByBitrate(uint bitrate) const = 0;
};
