#include "playertestmedia.h"

#include <klbass.h>
#include <klhlsplayback.h>
#include <klplayer.h>

#include <bass.h>
#include <enginetest.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

using State = KLPlayerSource::State;
using Quality = KLPlayerSource::Quality;

namespace {

// Exposes the protected writers of computed properties for the selection tests.
class TestPlayer : public KLPlayer
{
public:
    using KLPlayer::KLPlayer;
    using KLPlayer::setCurrentBitrate;
    using KLPlayer::setStreams;
};

KLPlaylistStreams makeStreams(const QList<uint> &bitrates)
{
    KLPlaylistStreams streams;
    for (const uint bitrate : bitrates)
        streams.insert(bitrate, QUrl(QStringLiteral("http://127.0.0.1/%1").arg(bitrate)));
    return streams;
}

QList<State> states(const QSignalSpy &spy)
{
    QList<State> result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.first().value<State>());
    return result;
}

float channelAttribute(HSTREAM handle, DWORD attribute)
{
    float value = -1;
    BASS_ChannelGetAttribute(handle, attribute, &value);
    return value;
}

bool isDeviceOpen()
{
    BASS_INFO info;
    return BASS_GetInfo(&info);
}

} // namespace

class tst_KLPlayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void defaults();
    void givenNetworkManager();
    void engineFollowsPlayers();
    void playingBitrates_data();
    void playingBitrates();
    void bitrateByCoef_data();
    void bitrateByCoef();
    void currentQuality_data();
    void currentQuality();
    void streamByBitratePicksAmongEqualBitrates();
    void timerIntervals_data();
    void timerIntervals();
    void invalidPlaybackRate();
    void emptyAddressStops();
    void noStreamsRetriesUntilStop();
    void pushAddressPlaysWithoutRequest();
    void errorRestartsOnlyWhenRestarted_data();
    void errorRestartsOnlyWhenRestarted();
    void pauseOnStoppedPlayer();
    void destroyedWhileStarting();
    void playersMovedToTheirThreads();
    void liveStreamPlayPauseStop();
    void localFilePauseResume();
    void addressChangeWhilePlaying();
    void reconnectAfterServerCloses();
    void stallNotifications();
    void stallWhenDataStops();
    void endOfFile();
    void deviceFailureStops_data();
    void deviceFailureStops();
    void deviceFormatChangeRestarts();
    void duckAndVolume();
    void playbackRateOnChannel();
    void levelsBeforeVolume_data();
    void levelsBeforeVolume();
    void liveStreamIsNotSeekable();
    void seekInsideAndOutsideBufferedPart();
    void seekWithinWholeDownload();
    void icyMetadata_data();
    void icyMetadata();

private:
    std::unique_ptr<TestPlayer> startedPlayer(const QUrl &url);

    QTemporaryDir m_dir;
    QString m_tonePath;
    QString m_silencePath;
    QString m_shortPath;
    QByteArray m_tone;
    QByteArray m_long;
    QByteArray m_steps;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

void tst_KLPlayer::initTestCase()
{
    KLBass::outputDevice = 0; // "No sound"
    QVERIFY(m_dir.isValid());
    m_tonePath = m_dir.filePath(QStringLiteral("tone.mp3"));
    m_silencePath = m_dir.filePath(QStringLiteral("silence.mp3"));
    m_shortPath = m_dir.filePath(QStringLiteral("short.mp3"));
    const QString longPath = m_dir.filePath(QStringLiteral("long.mp3"));
    const QString stepsPath = m_dir.filePath(QStringLiteral("steps.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3s({{m_tonePath, 10, 0.5},
                                       {m_silencePath, 5, 0},
                                       {m_shortPath, 1, 0.5},
                                       {longPath, 100, 0.5, 32},
                                       {stepsPath, 60, 0.1, 128, 440, 10}}));
    m_tone = PlayerTestMedia::readFile(m_tonePath);
    m_long = PlayerTestMedia::readFile(longPath);
    m_steps = PlayerTestMedia::readFile(stepsPath);
    QVERIFY(!m_tone.isEmpty());
    QVERIFY(!m_long.isEmpty());
    QVERIFY(!m_steps.isEmpty());
}

void tst_KLPlayer::init()
{
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    m_server->serve(QStringLiteral("/missing"), 404, "no such stream");
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/live"), m_tone, 4);
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/other"), m_tone, 4);
}

void tst_KLPlayer::cleanup()
{
    m_server.reset();
    QCOMPARE(KLPlayer::playersCount(), 0);
}

std::unique_ptr<TestPlayer> tst_KLPlayer::startedPlayer(const QUrl &url)
{
    auto player = std::make_unique<TestPlayer>();
    player->setRestartIntervalMs(100);
    player->play(url);
    if (!QTest::qWaitFor([&] { return player->state() == KLPlayerSource::PlayingState; }, 10000))
        return {};
    return player;
}

void tst_KLPlayer::defaults()
{
    KLPlayer first;
    KLPlayer second;
    QCOMPARE(first.state(), KLPlayerSource::StoppedState);
    QVERIFY(first.isStopped());
    QVERIFY(!first.isPlaying());
    QVERIFY(!first.isStalled());
    QVERIFY(!first.isPaused());
    QCOMPARE(first.volume(), 1.0);
    QCOMPARE(first.playbackRate(), 1.0);
    QCOMPARE(first.levelDb(), -std::numeric_limits<double>::infinity());
    QVERIFY(first.isRestarted());
    QCOMPARE(first.currentQuality(), KLPlayerSource::LowQuality);
    QCOMPARE(first.playingQuality(), KLPlayerSource::AutoQuality);
    QCOMPARE(first.stream(), HSTREAM(0));
    QCOMPARE(first.restartIntervalMs(), 5000);
    QVERIFY(first.nam());
    QCOMPARE(first.nam()->parent(), &first);

    static const QRegularExpression name(QStringLiteral("^KLPlayer #(\\d+)$"));
    const auto firstMatch = name.match(first.playerName());
    const auto secondMatch = name.match(second.playerName());
    QVERIFY(firstMatch.hasMatch());
    QVERIFY(secondMatch.hasMatch());
    QCOMPARE(secondMatch.captured(1).toInt(), firstMatch.captured(1).toInt() + 1);
}

void tst_KLPlayer::givenNetworkManager()
{
    KLNetworkAccessManager nam;
    nam.setAwait(true);
    QSignalSpy awaitSpy(&nam, &KLNetworkAccessManager::awaitChanged);
    {
        KLPlayer player(&nam);
        QCOMPARE(player.nam(), &nam);
        QVERIFY(!nam.await());
        QCOMPARE(awaitSpy.count(), 1);
    }
    // The player does not own a manager it was given.
    QCOMPARE(nam.timeoutMs(), KLNetworkAccessManager::KL_NETWORK_DEFAULT_TIMEOUT);
}

void tst_KLPlayer::engineFollowsPlayers()
{
    QCOMPARE(KLPlayer::playersCount(), 0);
    QVERIFY(!isDeviceOpen());

    auto first = std::make_unique<KLPlayer>();
    // The first player configured the engine; a second one does not configure it again.
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT), DWORD(10000));
    BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1234);
    auto second = std::make_unique<KLPlayer>();
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT), DWORD(1234));
    QCOMPARE(KLPlayer::playersCount(), 2);
    QVERIFY(!isDeviceOpen());

    // The first play of any player opens the device, even with nothing to play.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Stream url is not valid, stop playing$"));
    second->play();
    QVERIFY(isDeviceOpen());

    first.reset();
    QVERIFY(isDeviceOpen());
    second.reset();
    QCOMPARE(KLPlayer::playersCount(), 0);
    QVERIFY(!isDeviceOpen());

    // After the last player a new one configures the engine and opens the device again.
    KLPlayer third;
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT), DWORD(10000));
    QVERIFY(!isDeviceOpen());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Stream url is not valid, stop playing$"));
    third.play();
    QVERIFY(isDeviceOpen());
}

void tst_KLPlayer::playingBitrates_data()
{
    QTest::addColumn<QList<uint>>("available");
    QTest::addColumn<uint>("playingBitrate");
    QTest::addColumn<Quality>("quality");
    QTest::addColumn<QList<quint32>>("expected");

    const QList<uint> three{128000, 32000, 64000};
    QTest::newRow("auto") << three << 0u << KLPlayerSource::AutoQuality
                          << QList<quint32>{32000, 64000, 128000};
    QTest::newRow("high") << three << 0u << KLPlayerSource::HighQuality << QList<quint32>{128000};
    QTest::newRow("mid") << three << 0u << KLPlayerSource::MidQuality << QList<quint32>{64000};
    QTest::newRow("low") << three << 0u << KLPlayerSource::LowQuality << QList<quint32>{32000};
    QTest::newRow("explicit nearest")
        << three << 100000u << KLPlayerSource::LowQuality << QList<quint32>{128000};
    QTest::newRow("explicit exact")
        << three << 64000u << KLPlayerSource::HighQuality << QList<quint32>{64000};
    QTest::newRow("high none in band: highest")
        << QList<uint>{32000, 64000} << 0u << KLPlayerSource::HighQuality << QList<quint32>{64000};
    QTest::newRow("low none in band: lowest")
        << QList<uint>{96000, 64000, 128000} << 0u << KLPlayerSource::LowQuality
        << QList<quint32>{64000};
    QTest::newRow("mid none in band: nearest to 68000")
        << QList<uint>{40000, 100000} << 0u << KLPlayerSource::MidQuality << QList<quint32>{40000};
    QTest::newRow("high several sorted")
        << QList<uint>{320000, 96000, 128000, 64000} << 0u << KLPlayerSource::HighQuality
        << QList<quint32>{96000, 128000, 320000};
    QTest::newRow("band edges") << QList<uint>{47999, 48000, 87999, 88000} << 0u
                                << KLPlayerSource::MidQuality << QList<quint32>{48000, 87999};
    QTest::newRow("shared bitrate once")
        << QList<uint>{64000, 64000, 128000} << 0u << KLPlayerSource::AutoQuality
        << QList<quint32>{64000, 128000};
    QTest::newRow("no streams") << QList<uint>{} << 0u << KLPlayerSource::AutoQuality
                                << QList<quint32>{};
}

void tst_KLPlayer::playingBitrates()
{
    QFETCH(QList<uint>, available);
    QFETCH(uint, playingBitrate);
    QFETCH(Quality, quality);
    QFETCH(QList<quint32>, expected);

    TestPlayer player;
    player.setPlayingBitrate(playingBitrate);
    player.setPlayingQuality(quality);
    player.setStreams(makeStreams(available));
    QCOMPARE(player.playingBitrates(), expected);

    QList<quint32> distinct = player.availableBitrates();
    std::sort(distinct.begin(), distinct.end());
    QList<quint32> expectedDistinct(available.begin(), available.end());
    std::sort(expectedDistinct.begin(), expectedDistinct.end());
    expectedDistinct.erase(std::unique(expectedDistinct.begin(), expectedDistinct.end()),
                           expectedDistinct.end());
    QCOMPARE(distinct, expectedDistinct);

    // The list follows later changes of the choice too.
    player.setPlayingBitrate(0);
    player.setPlayingQuality(KLPlayerSource::AutoQuality);
    QCOMPARE(player.playingBitrates(), expectedDistinct);
}

void tst_KLPlayer::bitrateByCoef_data()
{
    QTest::addColumn<QList<uint>>("available");
    QTest::addColumn<double>("coef");
    QTest::addColumn<uint>("expected");

    const QList<uint> three{32000, 64000, 128000};
    QTest::newRow("1.0 highest") << three << 1.0 << 128000u;
    QTest::newRow("0.5") << three << 0.5 << 64000u;
    QTest::newRow("0.0 lowest") << three << 0.0 << 32000u;
    QTest::newRow("0.66") << three << 0.66 << 64000u;
    QTest::newRow("0.67") << three << 0.67 << 128000u;
    QTest::newRow("above 1") << three << 1.5 << 128000u;
    QTest::newRow("below 0") << three << -0.5 << 32000u;
    QTest::newRow("empty") << QList<uint>{} << 1.0 << 0u;
}

void tst_KLPlayer::bitrateByCoef()
{
    QFETCH(QList<uint>, available);
    QFETCH(double, coef);
    QFETCH(uint, expected);

    TestPlayer player;
    player.setStreams(makeStreams(available));
    QCOMPARE(player.bitrateByCoef(coef), expected);
}

void tst_KLPlayer::currentQuality_data()
{
    QTest::addColumn<uint>("bitrate");
    QTest::addColumn<Quality>("expected");

    QTest::newRow("0") << 0u << KLPlayerSource::AutoQuality;
    QTest::newRow("max") << std::numeric_limits<uint>::max() << KLPlayerSource::AutoQuality;
    QTest::newRow("1") << 1u << KLPlayerSource::LowQuality;
    QTest::newRow("47999") << 47999u << KLPlayerSource::LowQuality;
    QTest::newRow("48000") << 48000u << KLPlayerSource::MidQuality;
    QTest::newRow("87999") << 87999u << KLPlayerSource::MidQuality;
    QTest::newRow("88000") << 88000u << KLPlayerSource::HighQuality;
}

void tst_KLPlayer::currentQuality()
{
    QFETCH(uint, bitrate);
    QFETCH(Quality, expected);

    TestPlayer player;
    // Start from a value that differs from every row's outcome or bitrate.
    player.setCurrentBitrate(bitrate == 64000 ? 32000 : 64000);
    player.setCurrentBitrate(bitrate);
    QCOMPARE(player.currentQuality(), expected);
}

void tst_KLPlayer::streamByBitratePicksAmongEqualBitrates()
{
    TestPlayer player;
    const QUrl a(QStringLiteral("http://127.0.0.1/a"));
    const QUrl b(QStringLiteral("http://127.0.0.1/b"));
    const QUrl c(QStringLiteral("http://127.0.0.1/c"));
    KLPlaylistStreams streams;
    streams.insert(128000, a);
    streams.insert(128000, b);
    streams.insert(64000, c);
    player.setStreams(streams);

    QSet<QUrl> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert(player.streamByBitrate(128000));
    QCOMPARE(seen, (QSet<QUrl>{a, b}));
    QCOMPARE(player.streamByBitrate(64000), c);
    QCOMPARE(player.streamByBitrate(32000), QUrl());
}

void tst_KLPlayer::timerIntervals_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("positionMs");
    QTest::addColumn<int>("levelMs");

    QTest::newRow("2") << 2.0 << 250 << 50;
    QTest::newRow("0.3") << 0.3 << 1666 << 333;
    QTest::newRow("1") << 1.0 << 500 << 100;
}

void tst_KLPlayer::timerIntervals()
{
    QFETCH(double, rate);
    QFETCH(int, positionMs);
    QFETCH(int, levelMs);

    KLPlayer player;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Can not change playback rate to "
                                                          "invalid stream info freq 0$"));
    player.setPlaybackRate(rate == 1.0 ? 3.0 : rate);
    if (rate == 1.0) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("invalid stream info freq 0$"));
        player.setPlaybackRate(rate);
    }

    QList<int> repeating;
    for (const QTimer *timer : player.findChildren<QTimer *>(Qt::FindDirectChildrenOnly)) {
        if (!timer->isSingleShot())
            repeating.append(timer->interval());
    }
    std::sort(repeating.begin(), repeating.end());
    QCOMPARE(repeating, (QList<int>{levelMs, positionMs}));
}

void tst_KLPlayer::invalidPlaybackRate()
{
    KLPlayer player;
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("Can not change playback rate to invalid value 0$"));
    player.setPlaybackRate(0);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("Can not change playback rate to invalid value -1$"));
    player.setPlaybackRate(-1);
    // The timers keep a sane pace.
    for (const QTimer *timer : player.findChildren<QTimer *>(Qt::FindDirectChildrenOnly))
        QVERIFY(timer->interval() >= 100);
}

void tst_KLPlayer::emptyAddressStops()
{
    KLPlayer player;
    QSignalSpy stateSpy(&player, &KLPlayerSource::stateChanged);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Stream url is not valid, stop playing$"));
    player.play();
    QCOMPARE(player.state(), KLPlayerSource::StoppedState);
    QCOMPARE(stateSpy.count(), 0);
    QCOMPARE(player.nam()->findChildren<QNetworkReply *>().size(), 0);
}

void tst_KLPlayer::noStreamsRetriesUntilStop()
{
    KLPlayer player;
    player.setRestartIntervalMs(50);
    QSignalSpy stateSpy(&player, &KLPlayerSource::stateChanged);
    const QUrl url = m_server->url(QStringLiteral("/missing"));
    player.play(url);
    QCOMPARE(player.state(), KLPlayerSource::StalledState);

    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount(QStringLiteral("/missing")) >= 3, 5000);
    QCOMPARE(player.state(), KLPlayerSource::StalledState);
    QVERIFY(!states(stateSpy).contains(KLPlayerSource::PlayingState));
    QVERIFY(!states(stateSpy).contains(KLPlayerSource::ErrorState));

    player.stop();
    QCOMPARE(player.state(), KLPlayerSource::StoppedState);
    const int requests = m_server->requestCount(QStringLiteral("/missing"));
    QTest::qWait(300);
    QCOMPARE(m_server->requestCount(QStringLiteral("/missing")), requests);
}

void tst_KLPlayer::pushAddressPlaysWithoutRequest()
{
    // A push address starts the push back-end at once, without a playlist request.
    KLPlayer player;
    player.play(QUrl(QStringLiteral("push:pcm")));
    const QPointer<KLPushPlaybackDevice> device = player.pushPlaybackDevice();
    QTRY_VERIFY(device->stream() != 0);
    QCOMPARE(player.stream(), device->stream());
    QVERIFY(player.streams().isEmpty());
    player.stop();
    QCOMPARE(player.state(), KLPlayerSource::StoppedState);
    QCOMPARE(device->stream(), HSTREAM(0));
    QCOMPARE(m_server->requests().size(), 0);
}

void tst_KLPlayer::errorRestartsOnlyWhenRestarted_data()
{
    QTest::addColumn<bool>("isRestarted");
    QTest::newRow("restarted") << true;
    QTest::newRow("not restarted") << false;
}

void tst_KLPlayer::errorRestartsOnlyWhenRestarted()
{
    QFETCH(bool, isRestarted);

    KLPlayer player;
    player.setRestartIntervalMs(50);
    player.setIsRestarted(isRestarted);
    player.setStreamUrl(m_server->url(QStringLiteral("/missing")));
    QSignalSpy errorSpy(&player, &KLPlayerSource::error);

    // The HLS back-end reports a failure of its stream.
    auto *hls = player.findChild<KLHlsPlayback *>();
    QVERIFY(hls);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Hls failed BASS_"));
    emit hls->error(QStringLiteral("Hls failed"));

    QCOMPARE(player.state(), KLPlayerSource::ErrorState);
    QVERIFY(player.isStopped());
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(errorSpy.first().first().toString().startsWith(QLatin1String("Hls failed BASS_")));

    if (isRestarted) {
        QTRY_VERIFY(m_server->requestCount(QStringLiteral("/missing")) >= 1);
        QCOMPARE(player.state(), KLPlayerSource::StalledState);
        player.stop();
    } else {
        QTest::qWait(200);
        QCOMPARE(m_server->requestCount(QStringLiteral("/missing")), 0);
        QCOMPARE(player.state(), KLPlayerSource::ErrorState);
    }
}

void tst_KLPlayer::pauseOnStoppedPlayer()
{
    KLPlayer player;
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("Can not pause from state .*StoppedState$"));
    player.pause();
    QCOMPARE(player.state(), KLPlayerSource::StoppedState);
}

void tst_KLPlayer::destroyedWhileStarting()
{
    // Deleted with the playlist request running, and with the stream being created.
    for (int wait : {0, 1, 5, 20}) {
        auto player = std::make_unique<KLPlayer>();
        player->play(m_server->url(QStringLiteral("/live")));
        QTest::qWait(wait);
        player.reset();
    }
    QTRY_COMPARE(m_server->openConnectionCount(), 0);
}

void tst_KLPlayer::playersMovedToTheirThreads()
{
    // As an application does: each player is made here, moved to a thread of its own, played
    // there through posted calls and deleted when its thread finishes. Only queued signals
    // come back to this thread.
    constexpr int Players = 4;
    std::vector<std::unique_ptr<QThread>> threads;
    int playing = 0;
    int deleted = 0;
    for (int i = 0; i < Players; ++i) {
        auto thread = std::make_unique<QThread>();
        auto *player = new KLPlayer;
        player->moveToThread(thread.get());
        connect(thread.get(), &QThread::finished, player, &QObject::deleteLater);
        connect(
            player, &KLPlayerSource::stateChanged, this,
            [&playing](State state) { playing += state == KLPlayerSource::PlayingState; },
            Qt::QueuedConnection);
        connect(
            player, &QObject::destroyed, this, [&deleted] { ++deleted; }, Qt::QueuedConnection);
        thread->start();
        const QUrl url =
            i % 2 ? QUrl::fromLocalFile(m_tonePath) : m_server->url(QStringLiteral("/live"));
        QMetaObject::invokeMethod(
            player, [player, url] { player->play(url); }, Qt::QueuedConnection);
        threads.push_back(std::move(thread));
    }
    QTRY_COMPARE_WITH_TIMEOUT(playing, Players, 10000);
    for (auto &thread : threads) {
        thread->quit();
        QVERIFY(thread->wait(10000));
    }
    QTRY_COMPARE(deleted, Players);
    QCOMPARE(KLPlayer::playersCount(), 0);
    QVERIFY(!isDeviceOpen());
}

void tst_KLPlayer::liveStreamPlayPauseStop()
{
    const QUrl url = m_server->url(QStringLiteral("/live"));
    auto player = startedPlayer(url);
    QVERIFY(player);
    QVERIFY(player->stream() != 0);
    QVERIFY(!player->isSeekable());
    QCOMPARE(player->currentBitrate(), 128000u);
    QCOMPARE(player->currentQuality(), KLPlayerSource::HighQuality);
    // The parser's request and the stream's request.
    QTRY_COMPARE(m_server->requestCount(QStringLiteral("/live")), 2);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Already playing$"));
    player->play();
    QCOMPARE(m_server->requestCount(QStringLiteral("/live")), 2);

    // Pausing a live stream drops the connection.
    player->pause();
    QCOMPARE(player->state(), KLPlayerSource::PausedState);
    QCOMPARE(player->stream(), HSTREAM(0));
    QTRY_COMPARE(m_server->openConnectionCount(), 0);

    // Playing again reconnects.
    player->play();
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(m_server->requestCount(QStringLiteral("/live")), 4);

    player->stop();
    QCOMPARE(player->state(), KLPlayerSource::StoppedState);
    QCOMPARE(player->stream(), HSTREAM(0));
    QCOMPARE(player->level(), 0.0);
    QCOMPARE(player->levelDb(), -std::numeric_limits<double>::infinity());
    QCOMPARE(player->position(), 0.0);
    QTRY_COMPARE(m_server->openConnectionCount(), 0);
}

void tst_KLPlayer::localFilePauseResume()
{
    auto player = startedPlayer(QUrl::fromLocalFile(m_tonePath));
    QVERIFY(player);
    QVERIFY(player->isSeekable());
    QVERIFY(qAbs(player->length() - 10) < 0.5);
    QTRY_VERIFY(player->position() > 0.6);

    const HSTREAM handle = player->stream();
    player->pause();
    QCOMPARE(player->state(), KLPlayerSource::PausedState);
    QCOMPARE(player->stream(), handle);
    const QWORD pausedAt = BASS_ChannelGetPosition(handle, BASS_POS_BYTE);
    QTest::qWait(300);
    QCOMPARE(BASS_ChannelGetPosition(handle, BASS_POS_BYTE), pausedAt);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Play from pause$"));
    player->play();
    QCOMPARE(player->state(), KLPlayerSource::PlayingState);
    QCOMPARE(player->stream(), handle);
    QTRY_VERIFY(BASS_ChannelGetPosition(handle, BASS_POS_BYTE) > pausedAt);
    const double resumedAt = BASS_ChannelBytes2Seconds(handle, pausedAt);
    QVERIFY(player->position() < resumedAt + 1.0);
}

void tst_KLPlayer::addressChangeWhilePlaying()
{
    auto player = startedPlayer(m_server->url(QStringLiteral("/live")));
    QVERIFY(player);
    QSignalSpy stateSpy(player.get(), &KLPlayerSource::stateChanged);

    const QUrl other = m_server->url(QStringLiteral("/other"));
    player->play(other);
    QCOMPARE(player->streamUrl(), other);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(states(stateSpy).first(), KLPlayerSource::StalledState);
    QVERIFY(!states(stateSpy).contains(KLPlayerSource::StoppedState));
    QCOMPARE(m_server->requestCount(QStringLiteral("/other")), 2);

    // The same address again changes nothing.
    stateSpy.clear();
    player->play(other);
    QTest::qWait(100);
    QCOMPARE(stateSpy.count(), 0);
    QCOMPARE(m_server->requestCount(QStringLiteral("/other")), 2);

    // Not playing: the new address is taken and played.
    player->stop();
    player->play(m_server->url(QStringLiteral("/live")));
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 10000);
}

void tst_KLPlayer::reconnectAfterServerCloses()
{
    // One second of audio at once, then the server closes the connection.
    const QByteArray second = m_tone.left(PlayerTestMedia::StreamBytesPerSecond);
    m_server->route(QStringLiteral("/closing"), [second](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Type", "audio/mpeg"}});
        exchange.write(second);
        exchange.pause(200);
        exchange.close();
    });
    auto player = startedPlayer(m_server->url(QStringLiteral("/closing")));
    QVERIFY(player);
    QSignalSpy endedSpy(player.get(), &KLPlayerSource::ended);
    // Parser and stream, then the reconnection's parser and stream.
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount(QStringLiteral("/closing")) >= 4, 10000);
    QCOMPARE(endedSpy.count(), 0);

    // Without restarts the end is final.
    player->setIsRestarted(false);
    QTRY_VERIFY_WITH_TIMEOUT(endedSpy.count() == 1, 10000);
    QCOMPARE(player->state(), KLPlayerSource::StoppedState);
}

void tst_KLPlayer::stallNotifications()
{
    auto player = startedPlayer(m_server->url(QStringLiteral("/live")));
    QVERIFY(player);

    QVERIFY(QMetaObject::invokeMethod(player.get(), "streamStalled", Q_ARG(bool, true)));
    QCOMPARE(player->state(), KLPlayerSource::PlayingState); // handled on the next event
    QTRY_COMPARE(player->state(), KLPlayerSource::StalledState);
    QVERIFY(player->isPlaying());
    QVERIFY(player->isStalled());

    QVERIFY(QMetaObject::invokeMethod(player.get(), "streamStalled", Q_ARG(bool, false)));
    QTRY_COMPARE(player->state(), KLPlayerSource::PlayingState);
    QVERIFY(!player->isStalled());
}

void tst_KLPlayer::stallWhenDataStops()
{
    // A short buffer: 0.75 s of audio starts playback.
    const uint netBuffer = KLBass::netBuffer();
    KLBass::setNetBuffer(1000);
    auto restore = qScopeGuard([netBuffer] { KLBass::setNetBuffer(netBuffer); });

    // Two seconds of audio, silence for longer than they last, then audio again.
    const qsizetype second = PlayerTestMedia::StreamBytesPerSecond;
    m_server->route(QStringLiteral("/gap"), [this, second](LoopbackHttpExchange &exchange) {
        exchange.writeHead(200, {{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}});
        exchange.write(m_tone.left(2 * second));
        exchange.pause(3000);
        exchange.write(m_tone.mid(2 * second, 3 * second));
        exchange.pause(60000);
        exchange.close();
    });
    auto player = startedPlayer(m_server->url(QStringLiteral("/gap")));
    QVERIFY(player);
    QSignalSpy stateSpy(player.get(), &KLPlayerSource::stateChanged);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::StalledState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 5000);
    QCOMPARE(states(stateSpy),
             (QList<State>{KLPlayerSource::StalledState, KLPlayerSource::PlayingState}));
    // The same connection goes on.
    QCOMPARE(m_server->requestCount(QStringLiteral("/gap")), 2);
}

void tst_KLPlayer::endOfFile()
{
    auto player = startedPlayer(QUrl::fromLocalFile(m_shortPath));
    QVERIFY(player);
    QVERIFY(player->isSeekable());
    QSignalSpy endedSpy(player.get(), &KLPlayerSource::ended);
    QTRY_COMPARE_WITH_TIMEOUT(endedSpy.count(), 1, 5000);
    QCOMPARE(player->state(), KLPlayerSource::StoppedState);
    QCOMPARE(player->stream(), HSTREAM(0));
}

void tst_KLPlayer::deviceFailureStops_data()
{
    QTest::addColumn<bool>("fromEngine");
    QTest::newRow("engine") << true;
    QTest::newRow("direct") << false;
}

void tst_KLPlayer::deviceFailureStops()
{
    QFETCH(bool, fromEngine);

    auto player = startedPlayer(m_server->url(QStringLiteral("/live")));
    QVERIFY(player);
    QSignalSpy failureSpy(player.get(), &KLPlayerSource::deviceFailure);
    // The line says what failed: the engine's reason, or none when the failure came directly.
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(fromEngine ? "Device failure \"the output device was removed\"$"
                                      : "Device failure \"the device failed for an "
                                        "unknown reason\"$"));
    if (fromEngine)
        QVERIFY(EngineTest_FailDevice());
    else
        QVERIFY(QMetaObject::invokeMethod(player.get(), "handleDeviceFailure"));
    QTRY_COMPARE(failureSpy.count(), 1);
    QCOMPARE(player->state(), KLPlayerSource::StoppedState);
    QCOMPARE(player->stream(), HSTREAM(0));
    QTRY_COMPARE(m_server->openConnectionCount(), 0);
}

void tst_KLPlayer::deviceFormatChangeRestarts()
{
    auto player = startedPlayer(m_server->url(QStringLiteral("/live")));
    QVERIFY(player);
    const HSTREAM handle = player->stream();
    QSignalSpy stateSpy(player.get(), &KLPlayerSource::stateChanged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Device format changed. Restarting.$"));
    QVERIFY(EngineTest_ChangeDeviceFormat(48000, 2));
    QTRY_VERIFY(stateSpy.count() >= 1);
    QCOMPARE(states(stateSpy).first(), KLPlayerSource::StalledState);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 10000);
    QVERIFY(player->stream() != handle);
    QCOMPARE(m_server->requestCount(QStringLiteral("/live")), 4);
}

void tst_KLPlayer::duckAndVolume()
{
    auto player = startedPlayer(QUrl::fromLocalFile(m_tonePath));
    QVERIFY(player);
    const HSTREAM handle = player->stream();
    QCOMPARE(channelAttribute(handle, BASS_ATTRIB_VOL), 1.0f);

    // Ducking slides over 200 ms: the volume passes through values between the two.
    player->setDuckVolume(true);
    QCOMPARE(player->volume(), 1.0);
    bool between = false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000) {
        const float now = channelAttribute(handle, BASS_ATTRIB_VOL);
        between = between || (now > 0.25f && now < 0.95f);
        if (qAbs(now - 0.2f) < 0.001f)
            break;
        QTest::qWait(5);
    }
    QVERIFY(between);
    QVERIFY(clock.elapsed() >= 150);
    QVERIFY(qAbs(channelAttribute(handle, BASS_ATTRIB_VOL) - 0.2f) < 0.001f);

    player->setVolume(0.5);
    QTRY_VERIFY(qAbs(channelAttribute(handle, BASS_ATTRIB_VOL) - 0.1f) < 0.001f);
    player->setDuckVolume(false);
    QTRY_VERIFY(qAbs(channelAttribute(handle, BASS_ATTRIB_VOL) - 0.5f) < 0.001f);

    // A new stream starts at the volume at once.
    player->setVolume(0.25);
    player->stop();
    player->play();
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 5000);
    QCOMPARE(channelAttribute(player->stream(), BASS_ATTRIB_VOL), 0.25f);
}

void tst_KLPlayer::playbackRateOnChannel()
{
    auto player = startedPlayer(QUrl::fromLocalFile(m_tonePath));
    QVERIFY(player);
    const HSTREAM handle = player->stream();
    player->setPlaybackRate(2.0);
    QCOMPARE(channelAttribute(handle, BASS_ATTRIB_FREQ), 88200.0f);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("Can not change playback rate to invalid value 0$"));
    player->setPlaybackRate(0);
    QCOMPARE(channelAttribute(handle, BASS_ATTRIB_FREQ), 88200.0f);

    player->setPlaybackRate(0.5);
    QCOMPARE(channelAttribute(handle, BASS_ATTRIB_FREQ), 22050.0f);
}

void tst_KLPlayer::levelsBeforeVolume_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<double>("volume");

    QTest::newRow("tone") << false << 1.0;
    QTest::newRow("tone muted") << false << 0.0;
    QTest::newRow("silence") << true << 1.0;
}

void tst_KLPlayer::levelsBeforeVolume()
{
    QFETCH(bool, silent);
    QFETCH(double, volume);

    TestPlayer player;
    player.setVolume(volume);
    player.setIsUpdatesLevel(true);
    QSignalSpy levelSpy(&player, &KLPlayerSource::levelChanged);
    player.play(QUrl::fromLocalFile(silent ? m_silencePath : m_tonePath));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 5000);
    QTRY_VERIFY(player.position() > 0.5);
    QTest::qWait(250);

    if (silent) {
        QCOMPARE(player.level(), 0.0);
        QCOMPARE(player.levelDb(), -std::numeric_limits<double>::infinity());
    } else {
        // A sine of amplitude 0.5 has an RMS of 0.354 (-9 dB; a little less after MP3 coding),
        // whatever the volume.
        QVERIFY2(qAbs(player.level() - 0.345) < 0.025, qPrintable(QString::number(player.level())));
        QVERIFY(qAbs(player.levelDb() - 20 * std::log10(player.level())) < 1e-4);
        QVERIFY(qAbs(player.levelDb() + 9.25) < 0.7);
        QVERIFY(levelSpy.count() >= 1);
    }

    // Level updates off: no further level readings.
    player.setIsUpdatesLevel(false);
    levelSpy.clear();
    QTest::qWait(250);
    QCOMPARE(levelSpy.count(), 0);

    player.stop();
    QCOMPARE(player.level(), 0.0);
    QCOMPARE(player.levelDb(), -std::numeric_limits<double>::infinity());
}

void tst_KLPlayer::liveStreamIsNotSeekable()
{
    auto player = startedPlayer(m_server->url(QStringLiteral("/live")));
    QVERIFY(player);
    QCOMPARE(player->length(), 0.0);
    QVERIFY(!player->isSeekable());
    const HSTREAM handle = player->stream();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Set position to 10$"));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("Can not change position to invalid value 10$"));
    player->setPosition(10);
    QCOMPARE(player->stream(), handle);
    QVERIFY(player->position() < 10);
    QVERIFY(player->bufferedLength() >= 0);
}

void tst_KLPlayer::seekInsideAndOutsideBufferedPart()
{
    // A 100 s file of which the server sends the first 30 % and then nothing more; the
    // engine keeps all that arrived.
    const qint64 size = m_long.size();
    PlayerTestMedia::serveFile(*m_server, QStringLiteral("/long.mp3"), m_long, size * 3 / 10, 0);
    const QString path = QStringLiteral("/long.mp3");
    auto player = startedPlayer(m_server->url(path));
    QVERIFY(player);
    QVERIFY2(qAbs(player->length() - 100) < 1.5, qPrintable(QString::number(player->length())));
    QVERIFY(player->isSeekable());
    QTRY_VERIFY_WITH_TIMEOUT(player->bufferedLength() > 25, 5000);
    QVERIFY(player->bufferedLength() < 31);

    // Inside the downloaded part: the same handle moves.
    const HSTREAM handle = player->stream();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Change position to 20 inside"));
    player->setPosition(20);
    QCOMPARE(player->stream(), handle);
    QTRY_VERIFY(player->position() >= 20 && player->position() < 21);

    // Outside: the stream is made again from about 60 % of the audio bytes.
    const QWORD start = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_START);
    const QWORD end = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_END);
    QVERIFY(end > start);
    const int requestsBefore = m_server->requestCount(path);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Change position to 60 outside"));
    player->setPosition(60);
    QCOMPARE(player->startPosition(), 60.0);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 5000);
    QVERIFY(player->stream() != handle);
    QCOMPARE(m_server->requestCount(path), requestsBefore + 1);
    const QByteArray range = m_server->requests(path).last().header("Range");
    QVERIFY2(range.startsWith("bytes="), range.constData());
    const double offset = range.mid(6, range.indexOf('-') - 6).toDouble();
    const double expected = double(start) + double(end - start) * 0.6;
    QVERIFY2(qAbs(offset - expected) < double(end - start) * 0.01,
             qPrintable(QStringLiteral("%1 vs %2").arg(offset).arg(expected)));
    QTRY_VERIFY(player->position() > 60);
    QVERIFY(player->position() < 62);
    // The new stream counts from its offset: the length stays that of the whole file.
    QVERIFY2(qAbs(player->length() - 100) < 1.5, qPrintable(QString::number(player->length())));

    // Skips: past the end is refused, before the start goes to 0.
    const HSTREAM seeked = player->stream();
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("Can not change position to invalid value"));
    player->skipForward(1000);
    QCOMPARE(player->stream(), seeked);
    player->skipBackward(1000);
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 5000);
    QCOMPARE(player->startPosition(), 0.0);
    QTRY_VERIFY(player->position() > 0);
    QVERIFY(player->position() < 2);
}

void tst_KLPlayer::seekWithinWholeDownload()
{
    // 60 s whose tone grows louder every 10 s, sent at once: seeks forward and back move the
    // same handle over the one download, and what is heard is the file at the new position.
    const QString path = QStringLiteral("/steps.mp3");
    PlayerTestMedia::serveFile(*m_server, path, m_steps, m_steps.size(), 0);
    auto player = startedPlayer(m_server->url(path));
    QVERIFY(player);
    player->setIsUpdatesLevel(true);
    QVERIFY2(qAbs(player->length() - 60) < 1, qPrintable(QString::number(player->length())));
    QTRY_VERIFY_WITH_TIMEOUT(player->position() >= 3, 8000);
    // Everything has arrived: all that lies ahead is buffered.
    QTRY_COMPARE(player->bufferedLength(), player->length() - player->position());

    const HSTREAM handle = player->stream();
    const QWORD start = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_START);
    QVERIFY(m_steps.startsWith("ID3"));
    QCOMPARE(start,
             QWORD(10 + (m_steps[6] << 21 | m_steps[7] << 14 | m_steps[8] << 7 | m_steps[9])));
    const int requests = m_server->requestCount(path);
    // Amplitude 0.1 × (segment + 1); the RMS level of a sine is that over the root of 2.
    for (const double to : {50.0, 5.0}) {
        const double level = 0.1 * (std::floor(to / 10) + 1) / std::sqrt(2.0);
        QTest::ignoreMessage(
            QtDebugMsg, QRegularExpression(QStringLiteral("Change position to %1 inside").arg(to)));
        player->setPosition(to);
        QCOMPARE(player->stream(), handle);
        QTRY_VERIFY2(player->position() >= to && player->position() < to + 1,
                     qPrintable(QString::number(player->position())));
        QTRY_VERIFY2(qAbs(player->level() - level) < level * 0.12,
                     qPrintable(QStringLiteral("%1 at %2").arg(player->level()).arg(to)));
    }
    QCOMPARE(m_server->requestCount(path), requests);
}

void tst_KLPlayer::icyMetadata_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::newRow("HTTP server") << QByteArray();
    // Older internet-radio servers answer with an ICY status line, which Qt's HTTP stack refuses.
    QTest::newRow("ICY server") << QByteArray("ICY 200 OK");
}

void tst_KLPlayer::icyMetadata()
{
    QFETCH(QByteArray, statusLine);
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/icy"), m_tone, 4, 8000,
                                     QStringLiteral("Artist - Title"),
                                     PlayerTestMedia::StreamBytesPerSecond, statusLine);
    auto player = std::make_unique<TestPlayer>();
    player->setIsUpdatesLevel(true);
    player->play(m_server->url(QStringLiteral("/icy")));
    QTRY_COMPARE_WITH_TIMEOUT(player->state(), KLPlayerSource::PlayingState, 10000);
    QCOMPARE(player->currentBitrate(), 128000u);
    // Titles are published as playback reaches them.
    QTRY_COMPARE_WITH_TIMEOUT(player->meta(), QStringLiteral("StreamTitle='Artist - Title';"),
                              5000);
    // The tone (amplitude 0.5) is heard at its level.
    QTRY_VERIFY(player->position() > 0.5);
    QTRY_VERIFY2(qAbs(player->level() - 0.345) < 0.025,
                 qPrintable(QString::number(player->level())));
    player->stop();
    QCOMPARE(player->meta(), QString());
}

QTEST_GUILESS_MAIN(tst_KLPlayer)
#include "tst_klplayer.moc"
