// Engine functions called from many threads at once, also on handles that another thread is
// freeing, and from inside syncs. Built and run under ThreadSanitizer as well (label "tsan").

#include "enginetestutil.h"

#include <bass.h>

#include <QFile>
#include <QTest>

#include <atomic>
#include <set>
#include <thread>

using namespace enginetest;

class tst_EngineConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void callsOnAHandleBeingFreed();
    void syncsMayCallTheEngine();
    void createAndFreeFromManyThreads();
    void engineClosedFromASync();
    void engineClosedWhileASyncRuns();

private:
    QTemporaryDir m_dir;
    QByteArray m_wav;
    QByteArray m_short;
};

void tst_EngineConcurrency::initTestCase()
{
    const QString wav = writeToneWav(m_dir, QStringLiteral("tone.wav"), 2);
    const QString shortWav = writeToneWav(m_dir, QStringLiteral("short.wav"), 0.15);
    QVERIFY(!wav.isEmpty() && !shortWav.isEmpty());
    m_wav = QFile::encodeName(wav);
    m_short = QFile::encodeName(shortWav);
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

void tst_EngineConcurrency::cleanupTestCase()
{
    BASS_Free();
}

void tst_EngineConcurrency::callsOnAHandleBeingFreed()
{
    // Every call on a handle that goes away while it runs either works or fails with HANDLE
    // (or a code that its own state explains); nothing crashes or hangs.
    const std::set<int> allowed{BASS_OK,
                                BASS_ERROR_HANDLE,
                                BASS_ERROR_NOPLAY,
                                BASS_ERROR_ALREADY,
                                BASS_ERROR_NOTAVAIL,
                                BASS_ERROR_POSITION};
    std::atomic<int> unexpected{0};
    std::atomic<int> handleFailures{0};
    for (int round = 0; round < 12; ++round) {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
        QVERIFY(h);
        QVERIFY(BASS_ChannelPlay(h, FALSE));
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                int i = 0;
                while (!stop.load() || i < 50) {
                    float level = 0;
                    switch ((i++ + t) % 9) {
                    case 0:
                        BASS_ChannelGetPosition(h, BASS_POS_BYTE);
                        break;
                    case 1:
                        BASS_ChannelIsActive(h);
                        break;
                    case 2:
                        BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f);
                        break;
                    case 3:
                        BASS_ChannelGetLevelEx(h, &level, 0.02f, BASS_LEVEL_MONO | BASS_LEVEL_RMS);
                        break;
                    case 4:
                        BASS_ChannelSetSync(
                            h, BASS_SYNC_END, 0, [](HSYNC, DWORD, DWORD, void *) {}, nullptr);
                        break;
                    case 5:
                        BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT);
                        break;
                    case 6:
                        BASS_ChannelSetPosition(h, 4000, BASS_POS_BYTE);
                        break;
                    case 7:
                        BASS_ChannelPause(h);
                        break;
                    case 8:
                        BASS_ChannelPlay(h, FALSE);
                        break;
                    }
                    const int code = BASS_ErrorGetCode();
                    if (!allowed.count(code))
                        ++unexpected;
                    if (code == BASS_ERROR_HANDLE)
                        ++handleFailures;
                    if (stop.load() && code == BASS_ERROR_HANDLE)
                        break;
                }
            });
        }
        QTest::qWait(15);
        QVERIFY(BASS_StreamFree(h));
        stop.store(true);
        for (auto &t : threads)
            t.join();
        QVERIFY(!BASS_StreamFree(h));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }
    QCOMPARE(unexpected.load(), 0);
    QVERIFY(handleFailures.load() > 0);
}

void tst_EngineConcurrency::syncsMayCallTheEngine()
{
    // The END sync frees its own stream and starts the next one: it runs on an engine thread
    // that holds no engine lock.
    struct Chain
    {
        QByteArray next;
        std::atomic<HSTREAM> started{0};
        std::atomic<bool> freed{false};
        std::atomic<bool> onOwnThread{false};
        std::thread::id testThread;
    } chain;
    chain.next = m_wav;
    chain.testThread = std::this_thread::get_id();
    const HSTREAM first = BASS_StreamCreateFile(FALSE, m_short.constData(), 0, 0, 0);
    QVERIFY(first);
    QVERIFY(BASS_ChannelSetSync(
        first, BASS_SYNC_END, 0,
        [](HSYNC, DWORD channel, DWORD, void *user) {
            auto *c = static_cast<Chain *>(user);
            c->onOwnThread = std::this_thread::get_id() != c->testThread;
            c->freed = BASS_StreamFree(channel);
            const HSTREAM next = BASS_StreamCreateFile(FALSE, c->next.constData(), 0, 0, 0);
            BASS_ChannelSetAttribute(next, BASS_ATTRIB_VOL, 0.5f);
            BASS_ChannelPlay(next, FALSE);
            c->started = next;
        },
        &chain));
    QVERIFY(BASS_ChannelPlay(first, FALSE));
    QTRY_VERIFY(chain.started.load() != 0);
    QVERIFY(chain.freed.load());
    QVERIFY(chain.onOwnThread.load());
    QTRY_VERIFY(seconds(chain.started.load()) > 0.1);
    BASS_StreamFree(chain.started.load());
}

void tst_EngineConcurrency::createAndFreeFromManyThreads()
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                const HSTREAM h = (i + t) % 2
                                      ? BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0)
                                      : BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
                if (!h || !BASS_ChannelPlay(h, FALSE)) {
                    ++failures;
                    continue;
                }
                char silence[4096] = {};
                BASS_StreamPutData(h, silence, sizeof silence);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (!BASS_StreamFree(h))
                    ++failures;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    QCOMPARE(failures.load(), 0);
}

void tst_EngineConcurrency::engineClosedFromASync()
{
    // A sync closes the engine and opens it again; the new engine delivers syncs as before.
    struct Restart
    {
        QByteArray file;
        std::atomic<bool> freed{false};
        std::atomic<bool> opened{false};
        std::atomic<HSTREAM> next{0};
    } restart;
    restart.file = m_short;
    const HSTREAM h = BASS_StreamCreateFile(FALSE, m_short.constData(), 0, 0, 0);
    QVERIFY(h);
    QVERIFY(BASS_ChannelSetSync(
        h, BASS_SYNC_END, 0,
        [](HSYNC, DWORD, DWORD, void *user) {
            auto *r = static_cast<Restart *>(user);
            r->freed = BASS_Free();
            r->opened = BASS_Init(0, 44100, 0, nullptr, nullptr);
            r->next = BASS_StreamCreateFile(FALSE, r->file.constData(), 0, 0, 0);
        },
        &restart));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(restart.next.load() != 0);
    QVERIFY(restart.freed.load());
    QVERIFY(restart.opened.load());
    QVERIFY(!BASS_ChannelIsActive(h) && BASS_ErrorGetCode() == BASS_ERROR_HANDLE);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(restart.next.load(), BASS_SYNC_END));
    QVERIFY(BASS_ChannelPlay(restart.next.load(), FALSE));
    QTRY_COMPARE(syncs.count(BASS_SYNC_END), 1);
}

void tst_EngineConcurrency::engineClosedWhileASyncRuns()
{
    // A sync that keeps calling the engine while another thread closes it: the close finishes
    // and the sync's calls fail cleanly, nothing waits for the other forever.
    struct Busy
    {
        std::atomic<bool> inside{false};
        std::atomic<int> calls{0};
    } busy;
    const HSTREAM h = BASS_StreamCreateFile(FALSE, m_wav.constData(), 0, 0, 0);
    QVERIFY(h);
    QVERIFY(BASS_ChannelSetSync(
        h, BASS_SYNC_POS, 0,
        [](HSYNC, DWORD channel, DWORD, void *user) {
            auto *b = static_cast<Busy *>(user);
            b->inside = true;
            BASS_DEVICEINFO info;
            // Until the channel is gone with the engine.
            while (BASS_ChannelIsActive(channel) != BASS_ACTIVE_STOPPED ||
                   BASS_ErrorGetCode() != BASS_ERROR_HANDLE) {
                BASS_GetDevice();
                BASS_GetDeviceInfo(0, &info);
                ++b->calls;
            }
            // Opening the engine while it is being closed from another thread is refused.
            if (BASS_Init(0, 44100, 0, nullptr, nullptr))
                BASS_Free();
        },
        &busy));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(busy.inside.load());
    QVERIFY(BASS_Free());
    QVERIFY(busy.calls.load() > 0);
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

QTEST_GUILESS_MAIN(tst_EngineConcurrency)
#include "tst_engineconcurrency.moc"
