#pragma once

#include "klplaylisttypes.h"
#include "rep_klplayer_merged.h"

#include <QList>
#include <QUrl>

// How a player chooses among the bitrates of its streams: the bitrates on offer, those that a
// fixed bitrate or a quality allows (the nearest one when none does), the quality of a bitrate,
// the pick by an adaptive-bitrate coefficient and one address of a bitrate.
class KLBitrates
{
public:
    using Quality = KLPlayerSource::Quality;

    // Every bitrate of streams once, in their order.
    static QList<quint32> available(const KLPlaylistStreams &streams);
    // The bitrates to play, ascending: playingBitrate alone when it is not 0, else those of the
    // quality's range, else the one nearest its middle; empty without streams.
    static QList<quint32> playing(const KLPlaylistStreams &streams, uint playingBitrate,
                                  Quality quality);
    static Quality quality(uint bitrate);
    // The bitrate for a coefficient between 0 and 1; 0 when there is none.
    static uint byCoef(const QList<quint32> &bitrates, double coef);
    // One of the addresses of bitrate, chosen at random; empty when none.
    static QUrl streamByBitrate(const KLPlaylistStreams &streams, uint bitrate);
};
