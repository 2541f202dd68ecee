#pragma once

#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"
#include "rep_klplayer_merged.h"

#include <QList>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <cmath>

// The few player operations that a back-end uses, over the player's property model: streams
// as published, the bitrate chosen for a coefficient from the sorted distinct bitrates (any
// quality allowed), the first address of a bitrate, and the handle that the test says is
// being played.
class PlaybackTestPlayer : public KLPlayerSimpleSource, public KLPlayerInterface
{
public:
    using KLPlayerSimpleSource::setStreams;

    QObject *playerObject() override { return this; }
    QString playerName() const override { return QStringLiteral("KLPlayer #3"); }
    KLNetworkAccessManager *nam() const override { return manager.data(); }
    HSTREAM stream() const override { return handle.load(); }

    uint bitrateByCoef(double coef) const override
    {
        QList<uint> bitrates = streams().uniqueKeys();
        if (bitrates.isEmpty())
            return 0;
        std::sort(bitrates.begin(), bitrates.end());
        const qsizetype n = bitrates.size();
        const auto index = static_cast<qsizetype>(std::floor(n * std::clamp(coef, 0.0, 1.0)));
        return bitrates.at(std::clamp<qsizetype>(index, 0, n - 1));
    }

    QUrl streamByBitrate(uint bitrate) const override
    {
        const QList<QUrl> addresses = streams().values(bitrate);
        return addresses.isEmpty() ? QUrl() : addresses.constLast();
    }

    // The control slots belong to the real player.
    void play(QUrl) override {}
    void play() override {}
    void pause() override {}
    void stop() override {}
    void skipForward(double) override {}
    void skipBackward(double) override {}

    QPointer<KLNetworkAccessManager> manager;
    std::atomic<HSTREAM> handle = 0;
};
