#include "playertestmedia.h"

#include <klbass.h>
#include <klplayer.h>

#include <bass.h>

#include <QEventLoop>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

QMutex messagesMutex;
QStringList engineFailures;
QtMessageHandler previousHandler = nullptr;

// Collects every line that tells of a device that was not open or could not be opened.
void collectMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("BASS_ERROR_INIT")) ||
        message.contains(QLatin1String("Can not initialize BASS device")) ||
        message.contains(QLatin1String("Can not free bass"))) {
        QMutexLocker locker(&messagesMutex);
        engineFailures.append(message);
    }
    if (type != QtDebugMsg && previousHandler)
        previousHandler(type, context, message);
}

bool isDeviceOpen()
{
    BASS_INFO info;
    return BASS_GetInfo(&info);
}

// Creates, plays and destroys players in a tight loop on a thread of its own (a plain thread,
// whose join the thread checker sees).
class PlayerLoop
{
public:
    PlayerLoop(const QUrl &url, int rounds)
        : m_url(url)
        , m_rounds(rounds)
    {}

    void start()
    {
        m_thread = std::thread([this] { run(); });
    }
    void join() { m_thread.join(); }
    int played() const { return m_played; }

private:
    void run()
    {
        for (int round = 0; round < m_rounds; ++round) {
            KLPlayer player;
            player.setRestartIntervalMs(50);
            player.play(m_url);
            if (round % 2 == 1)
                continue; // destroyed while it starts
            QEventLoop loop;
            QObject::connect(&player, &KLPlayerSource::stateChanged, &loop, [&] {
                if (player.state() == KLPlayerSource::PlayingState)
                    loop.quit();
            });
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            if (player.state() != KLPlayerSource::PlayingState)
                loop.exec();
            if (player.state() == KLPlayerSource::PlayingState)
                ++m_played;
        }
    }

    QUrl m_url;
    int m_rounds;
    int m_played = 0;
    std::thread m_thread;
};

} // namespace

class tst_KLPlayerThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void playersOnManyThreads();
    void outputDeviceChangesWhilePlayersRun();

private:
    QTemporaryDir m_dir;
    QString m_tonePath;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

void tst_KLPlayerThreads::initTestCase()
{
    KLBass::outputDevice = 0;
    QVERIFY(m_dir.isValid());
    m_tonePath = m_dir.filePath(QStringLiteral("tone.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3(m_tonePath, 10, 0.5));
    m_server = std::make_unique<LoopbackHttpServer>(LoopbackHttpServer::OwnThread);
    QVERIFY(m_server->listen());
    PlayerTestMedia::serveLiveStream(*m_server, QStringLiteral("/live"),
                                     PlayerTestMedia::readFile(m_tonePath), 3);
    previousHandler = qInstallMessageHandler(collectMessages);
}

void tst_KLPlayerThreads::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
    m_server.reset();
}

void tst_KLPlayerThreads::init()
{
    KLBass::outputDevice = 0;
    QMutexLocker locker(&messagesMutex);
    engineFailures.clear();
}

void tst_KLPlayerThreads::playersOnManyThreads()
{
    constexpr int Threads = 8;
    constexpr int Rounds = 6;
    std::vector<std::unique_ptr<PlayerLoop>> loops;
    for (int i = 0; i < Threads; ++i) {
        const QUrl url =
            i % 2 == 0 ? QUrl::fromLocalFile(m_tonePath) : m_server->url(QStringLiteral("/live"));
        loops.push_back(std::make_unique<PlayerLoop>(url, Rounds));
    }
    for (auto &loop : loops)
        loop->start();
    // Meanwhile players come and go on this thread too.
    for (int i = 0; i < 20; ++i) {
        KLPlayer player;
        player.play(QUrl::fromLocalFile(m_tonePath));
        QTest::qWait(5);
    }
    for (auto &loop : loops)
        loop->join();

    int played = 0;
    for (auto &loop : loops)
        played += loop->played();
    // Every player that waited for its stream got it.
    QCOMPARE(played, Threads * Rounds / 2);
    QCOMPARE(KLPlayer::playersCount(), 0);
    QVERIFY(!isDeviceOpen());
    QMutexLocker locker(&messagesMutex);
    QVERIFY2(engineFailures.isEmpty(), qPrintable(engineFailures.join(QLatin1Char('\n'))));
}

// What the application does when the operator picks another output device, while players on
// other threads start, play and go: the device number is written on this thread and read by
// the players' first play(); the engine is closed and opened again under the players' lock.
void tst_KLPlayerThreads::outputDeviceChangesWhilePlayersRun()
{
    constexpr int Threads = 4;
    constexpr int Rounds = 6;
    std::vector<std::unique_ptr<PlayerLoop>> loops;
    for (int i = 0; i < Threads; ++i) {
        const QUrl url =
            i % 2 == 0 ? QUrl::fromLocalFile(m_tonePath) : m_server->url(QStringLiteral("/live"));
        loops.push_back(std::make_unique<PlayerLoop>(url, Rounds));
    }
    for (auto &loop : loops)
        loop->start();
    for (int i = 0; i < 16; ++i) {
        // Without a sound server the default device (-1) is "No sound" too.
        KLBass::outputDevice = i % 2 == 0 ? -1 : 0;
        KLPlayer::reopenOutputDevice();
        QTest::qWait(20);
    }
    for (auto &loop : loops)
        loop->join();

    // The last player closed the device, and with no player left a device change leaves the
    // engine closed.
    QCOMPARE(KLPlayer::playersCount(), 0);
    QVERIFY(!isDeviceOpen());
    KLPlayer::reopenOutputDevice();
    QVERIFY(!isDeviceOpen());
    {
        // The next player opens it again and plays.
        KLPlayer player;
        player.play(QUrl::fromLocalFile(m_tonePath));
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
        QVERIFY(isDeviceOpen());
    }
    QVERIFY(!isDeviceOpen());
    // Opening never met a device that another thread had opened or was closing.
    QMutexLocker locker(&messagesMutex);
    for (const QString &failure : std::as_const(engineFailures)) {
        QVERIFY2(!failure.contains(QLatin1String("Can not initialize BASS device")) &&
                     !failure.contains(QLatin1String("Can not free bass")),
                 qPrintable(failure));
    }
}

QTEST_GUILESS_MAIN(tst_KLPlayerThreads)
#include "tst_klplayerthreads.moc"
