#include "klbitrates.h"

#include "klplayer.h"

#include <QRandomGenerator64>

#include <algorithm>
#include <cmath>
#include <limits>

QList<quint32> KLBitrates::available(const KLPlaylistStreams &streams)
{
    QList<quint32> bitrates;
    for (auto it = streams.keyBegin(); it != streams.keyEnd(); ++it) {
        if (!bitrates.contains(*it))
            bitrates.append(*it);
    }
    return bitrates;
}

QList<quint32> KLBitrates::playing(const KLPlaylistStreams &streams, uint playingBitrate,
                                   Quality quality)
{
    if (streams.isEmpty())
        return {};

    constexpr uint noUpperBound = std::numeric_limits<uint>::max();
    uint lower = 0;
    uint upper = noUpperBound;
    if (playingBitrate != 0) {
        lower = upper = playingBitrate;
    } else {
        switch (quality) {
        case KLPlayerSource::AutoQuality:
            break;
        case KLPlayerSource::HighQuality:
            lower = KLPlayer::KL_PLAYER_HIGH_QUALITY_BITRATE;
            break;
        case KLPlayerSource::MidQuality:
            lower = KLPlayer::KL_PLAYER_MID_QUALITY_BITRATE;
            upper = KLPlayer::KL_PLAYER_HIGH_QUALITY_BITRATE;
            break;
        case KLPlayerSource::LowQuality:
            upper = KLPlayer::KL_PLAYER_MID_QUALITY_BITRATE;
            break;
        }
    }

    const QList<quint32> keys = available(streams);
    QList<quint32> collected;
    for (const quint32 key : keys) {
        if (lower <= key && key < upper)
            collected.append(key);
    }

    if (collected.isEmpty()) {
        const uint middle = lower + (upper - lower) / 2;
        const auto distance = [middle](quint32 key) {
            return key > middle ? quint64(key - middle) : quint64(middle - key);
        };
        quint32 best = keys.first();
        for (const quint32 key : keys) {
            if (distance(key) < distance(best))
                best = key;
        }
        collected.append(best);
    }

    std::sort(collected.begin(), collected.end());
    return collected;
}

KLBitrates::Quality KLBitrates::quality(uint bitrate)
{
    if (bitrate == 0 || bitrate == std::numeric_limits<uint>::max())
        return KLPlayerSource::AutoQuality;
    if (bitrate < KLPlayer::KL_PLAYER_MID_QUALITY_BITRATE)
        return KLPlayerSource::LowQuality;
    if (bitrate < KLPlayer::KL_PLAYER_HIGH_QUALITY_BITRATE)
        return KLPlayerSource::MidQuality;
    return KLPlayerSource::HighQuality;
}

uint KLBitrates::byCoef(const QList<quint32> &bitrates, double coef)
{
    const qsizetype count = bitrates.size();
    if (count == 0)
        return 0;
    const double k = std::clamp(coef, 0.0, 1.0);
    const qsizetype index =
        std::clamp(qsizetype(std::floor(double(count) * k)), qsizetype(0), count - 1);
    return bitrates.at(index);
}

QUrl KLBitrates::streamByBitrate(const KLPlaylistStreams &streams, uint bitrate)
{
    const QList<QUrl> urls = streams.values(bitrate);
    if (urls.isEmpty())
        return QUrl();
    return urls.at(qsizetype(QRandomGenerator64::global()->bounded(qint64(urls.size()))));
}
