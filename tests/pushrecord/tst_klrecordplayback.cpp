#include "testsoundserver.h"
#include "tonesamples.h"

#include <klbass.h>
#include <klplayer.h>
#include <klrecordplayback.h>

#include <bass.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr double toneAmplitude = 0.5;
const double toneLevel = toneAmplitude / std::sqrt(2.0);
constexpr double bytesPerSecond = 44100 * 2 * 2;

// Engine number of the recording device whose driver id is `id`, -1 if none.
int deviceOf(const char *id)
{
    BASS_DEVICEINFO info;
    for (DWORD d = 0; BASS_RecordGetDeviceInfo(d, &info); ++d) {
        if (std::strcmp(info.driver, id) == 0 && (info.flags & BASS_DEVICE_ENABLED))
            return int(d);
    }
    return -1;
}

// Recording devices that some back-end holds initialised.
QList<int> initialisedDevices()
{
    QList<int> devices;
    BASS_DEVICEINFO info;
    for (DWORD d = 0; BASS_RecordGetDeviceInfo(d, &info); ++d) {
        if (info.flags & BASS_DEVICE_INIT)
            devices.append(int(d));
    }
    return devices;
}

QUrl recordUrl(int device)
{
    return QUrl(QStringLiteral("record:%1").arg(device));
}

class RecordPlayback : public KLRecordPlayback
{
public:
    using KLRecordPlayback::KLRecordPlayback;
    using KLRecordPlayback::streamChannels;
};

} // namespace

class tst_KLRecordPlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void streamChannels_data();
    void streamChannels();
    void playsTheInput_data();
    void playsTheInput();
    void startFailures_data();
    void startFailures();
    void secondBackendOnTheSameDevice();
    void startedAgainWithoutStop();
    void fullQueueKeepsRecording();
    void removedInputEndsAfterQueuedAudio_data();
    void removedInputEndsAfterQueuedAudio();

private:
    QString pactl(const QStringList &arguments);
    // Plays the tone file into the output sink `sink` until the process is killed.
    std::unique_ptr<QProcess> playTone(const QString &sink);

    QTemporaryDir m_dir;
    TestSoundServer m_server{m_dir.path()};
    QString m_tonePath;
    std::unique_ptr<QProcess> m_tone;
};

QString tst_KLRecordPlayback::pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::unique_ptr<QProcess> tst_KLRecordPlayback::playTone(const QString &sink)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("pacat"),
                   {"--playback", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                    "--device=" + sink, m_tonePath});
    return process->waitForStarted() ? std::move(process) : nullptr;
}

void tst_KLRecordPlayback::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (QString error; !m_server.start(&error))
        QSKIP(qPrintable(error));

    KLBass::outputDevice = 0; // play on "No sound"; record from the sound server

    m_tonePath = m_dir.filePath(QStringLiteral("tone.raw"));
    QFile tone(m_tonePath);
    QVERIFY(tone.open(QIODevice::WriteOnly));
    QVERIFY(tone.write(toneSamples(60, toneAmplitude)) > 0);
    tone.close();
    m_tone = playTone(QStringLiteral("vsink"));
    QVERIFY(m_tone);
    QVERIFY(!pactl({"load-module", "module-null-source", "source_name=monomic", "channels=1"})
                 .isEmpty());
    QTRY_VERIFY(deviceOf("monomic") >= 0);
}

void tst_KLRecordPlayback::cleanupTestCase()
{
    if (m_tone) {
        m_tone->kill();
        m_tone->waitForFinished();
    }
    m_server.stop();
}

void tst_KLRecordPlayback::cleanup()
{
    // Whatever a test did, every device it used is free again.
    QVERIFY(initialisedDevices().isEmpty());
}

void tst_KLRecordPlayback::streamChannels_data()
{
    QTest::addColumn<DWORD>("formats");
    QTest::addColumn<DWORD>("channels");
    QTest::newRow("no count") << DWORD(0) << DWORD(2);
    QTest::newRow("no count, other bits") << DWORD(0x00FFFFFF) << DWORD(2);
    QTest::newRow("mono") << (DWORD(1) << 24) << DWORD(1);
    QTest::newRow("stereo") << (DWORD(2) << 24) << DWORD(2);
    QTest::newRow("six") << ((DWORD(6) << 24) | 0x1F) << DWORD(6);
}

void tst_KLRecordPlayback::streamChannels()
{
    QFETCH(DWORD, formats);
    QFETCH(DWORD, channels);
    BASS_RECORDINFO info = {};
    info.formats = formats;
    QCOMPARE(RecordPlayback::streamChannels(info), channels);
}

void tst_KLRecordPlayback::playsTheInput_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<double>("level");
    QTest::addColumn<DWORD>("channels");
    QTest::newRow("tone on the output's monitor") << "vsink.monitor" << toneLevel << DWORD(2);
    QTest::newRow("default device") << "" << toneLevel << DWORD(2);
    QTest::newRow("silent mono input") << "monomic" << 0.0 << DWORD(1);
}

void tst_KLRecordPlayback::playsTheInput()
{
    QFETCH(QString, source);
    QFETCH(double, level);
    QFETCH(DWORD, channels);

    const int device = source.isEmpty() ? -1 : deviceOf(source.toUtf8().constData());
    QVERIFY(device >= -1);
    KLPlayer player;
    player.setIsUpdatesLevel(true);
    player.play(recordUrl(device));
    QTRY_COMPARE(player.state(), KLPlayerSource::PlayingState);
    const HSTREAM handle = player.stream();
    QVERIFY(handle);
    BASS_CHANNELINFO info = {};
    QVERIFY(BASS_ChannelGetInfo(handle, &info));
    QCOMPARE(info.freq, DWORD(44100));
    QCOMPARE(info.chans, channels);
    float limit = 0;
    QVERIFY(BASS_ChannelGetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, &limit));
    QCOMPARE(limit, 1048576.0f);
    QCOMPARE(initialisedDevices().size(), 1);

    QTRY_VERIFY_WITH_TIMEOUT(player.position() > 0.5, 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(qAbs(player.level() - level) < 0.03,
                              qPrintable(QString::number(player.level())), 3000);
    QTest::qWait(200);
    QVERIFY2(qAbs(player.level() - level) < 0.03, qPrintable(QString::number(player.level())));

    player.stop();
    QCOMPARE(player.stream(), HSTREAM(0));
}

void tst_KLRecordPlayback::startFailures_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("viaPlayer");

    QTest::newRow("not a number") << QUrl("record:abc")
                                  << "Record playback: invalid device in stream url \"abc\""
                                  << true;
    QTest::newRow("empty path") << QUrl("record://host")
                                << "Record playback: invalid device in stream url \"\"" << true;
    QTest::newRow("no such device")
        << QUrl("record:4000") << "Record playback: can not init record device 4000" << true;
    QTest::newRow("empty address")
        << QUrl() << "Record playback: player stream url is empty" << false;
    QTest::newRow("other scheme") << QUrl("push:0")
                                  << "Record playback: player stream url scheme is not valid"
                                  << false;
}

void tst_KLRecordPlayback::startFailures()
{
    QFETCH(QUrl, url);
    QFETCH(QString, message);
    QFETCH(bool, viaPlayer);

    KLPlayer player;
    player.setStreamUrl(url);
    RecordPlayback backend(&player);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QRegularExpression::escape(message)));
    QCOMPARE(backend.start(), HSTREAM(0));
    QVERIFY(initialisedDevices().isEmpty());
    backend.stop();
    if (!viaPlayer)
        return;

    // Through the player: the start fails and the player waits to retry.
    player.setRestartIntervalMs(60000);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QRegularExpression::escape(message)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Playback start error\\."));
    player.play(url);
    QTRY_COMPARE(player.state(), KLPlayerSource::StalledState);
    QCOMPARE(player.stream(), HSTREAM(0));
    QVERIFY(initialisedDevices().isEmpty());
    player.stop();
}

// The engine initialises a device once: a second back-end on it fails, and giving up neither
// frees the device nor stops the recording of the first.
void tst_KLRecordPlayback::secondBackendOnTheSameDevice()
{
    const int device = deviceOf("vsink.monitor");
    KLPlayer first;
    first.setIsUpdatesLevel(true);
    first.play(recordUrl(device));
    QTRY_COMPARE(first.state(), KLPlayerSource::PlayingState);

    KLPlayer second;
    second.setStreamUrl(recordUrl(device));
    RecordPlayback backend(&second);
    QTest::ignoreMessage(
        QtDebugMsg,
        QRegularExpression(
            QStringLiteral("Record playback: can not init record device %1").arg(device)));
    QCOMPARE(backend.start(), HSTREAM(0));
    backend.stop();
    QCOMPARE(initialisedDevices(), QList<int>{device});

    const double position = first.position();
    QTRY_VERIFY(first.position() > position + 0.3);
    QTRY_VERIFY2(qAbs(first.level() - toneLevel) < 0.03,
                 qPrintable(QString::number(first.level())));
    first.stop();
}

// A back-end started again gives up its previous recording instead of failing on its own
// device.
void tst_KLRecordPlayback::startedAgainWithoutStop()
{
    // Streams need the engine; no player opens it here.
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    const auto closeEngine = qScopeGuard([] { BASS_Free(); });
    KLPlayer player;
    player.setStreamUrl(recordUrl(deviceOf("vsink.monitor")));
    RecordPlayback backend(&player);
    const HSTREAM first = backend.start();
    QVERIFY(first);
    const HSTREAM second = backend.start();
    QVERIFY(second);
    QCOMPARE(initialisedDevices().size(), 1);
    // Recorded blocks go to the new stream only.
    const DWORD before = BASS_StreamPutData(first, nullptr, 0);
    QTRY_VERIFY(BASS_StreamPutData(second, nullptr, 0) > 0);
    QCOMPARE(BASS_StreamPutData(first, nullptr, 0), before);
    backend.stop();
    QVERIFY(BASS_StreamFree(first));
    QVERIFY(BASS_StreamFree(second));
}

// A live input cannot wait for a held output: while the queue is full, recorded blocks are
// dropped, and recording goes on.
void tst_KLRecordPlayback::fullQueueKeepsRecording()
{
    KLPlayer player;
    player.setIsUpdatesLevel(true);
    player.play(recordUrl(deviceOf("vsink.monitor")));
    QTRY_COMPARE(player.state(), KLPlayerSource::PlayingState);
    const HSTREAM handle = player.stream();
    constexpr DWORD smallLimit = 65536;
    QVERIFY(BASS_ChannelSetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, float(smallLimit)));

    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("Record playback: stream queue is full, recorded"));
    QVERIFY(BASS_ChannelPause(handle));
    QTest::qWait(int(smallLimit / bytesPerSecond * 1000) + 300);
    const DWORD queued = BASS_StreamPutData(handle, nullptr, 0);
    QVERIFY2(queued > smallLimit / 2 && queued <= smallLimit, qPrintable(QString::number(queued)));

    QVERIFY(BASS_ChannelPlay(handle, FALSE));
    const double position = player.position();
    // Far more than was queued plays, and it is still the input.
    QTRY_VERIFY_WITH_TIMEOUT(player.position() > position + 1.0, 3000);
    QVERIFY2(qAbs(player.level() - toneLevel) < 0.03, qPrintable(QString::number(player.level())));
    QCOMPARE(player.stream(), handle);
    player.stop();
}

void tst_KLRecordPlayback::removedInputEndsAfterQueuedAudio_data()
{
    QTest::addColumn<bool>("isRestarted");
    QTest::newRow("ends") << false;
    QTest::newRow("restarts") << true;
}

// An input that goes away (unplugged) ends the stream once what it recorded has played.
void tst_KLRecordPlayback::removedInputEndsAfterQueuedAudio()
{
    QFETCH(bool, isRestarted);

    const QString module = pactl({"load-module", "module-null-sink", "sink_name=usbout"});
    QVERIFY(!module.isEmpty());
    int device = -1;
    QTRY_VERIFY((device = deviceOf("usbout.monitor")) >= 0);
    auto tone = playTone(QStringLiteral("usbout"));
    QVERIFY(tone);

    KLPlayer player;
    player.setIsRestarted(isRestarted);
    player.setRestartIntervalMs(60000);
    player.setIsUpdatesLevel(true);
    QSignalSpy endedSpy(&player, &KLPlayerSource::ended);
    player.play(recordUrl(device));
    QTRY_COMPARE(player.state(), KLPlayerSource::PlayingState);
    const HSTREAM handle = player.stream();
    QTRY_VERIFY2_WITH_TIMEOUT(qAbs(player.level() - toneLevel) < 0.03,
                              qPrintable(QString::number(player.level())), 3000);

    // Hold the output for a while, so that recorded audio waits in the stream's queue.
    QVERIFY(BASS_ChannelPause(handle));
    QTest::qWait(600);
    const DWORD queued = BASS_StreamPutData(handle, nullptr, 0);
    QVERIFY2(queued != DWORD(-1) && queued > bytesPerSecond / 2,
             qPrintable(QString::number(queued)));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Record playback: device failure"));
    pactl({"unload-module", module});
    // The stream is marked as ending: it takes no more data.
    QTRY_VERIFY(BASS_StreamPutData(handle, nullptr, 0) == DWORD(-1) &&
                BASS_ErrorGetCode() == BASS_ERROR_ENDED);
    tone->kill();
    tone->waitForFinished();
    QCOMPARE(player.stream(), handle);
    QCOMPARE(endedSpy.count(), 0);

    if (isRestarted) {
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("Record playback: can not init record device"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Playback start error\\."));
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(BASS_ChannelPlay(handle, FALSE));
    const double queuedMs = queued / bytesPerSecond * 1000;
    QTRY_VERIFY_WITH_TIMEOUT(player.stream() != handle, int(queuedMs) + 3000);
    QVERIFY2(clock.elapsed() >= queuedMs * 0.8,
             qPrintable(QStringLiteral("%1 ms, %2 ms queued").arg(clock.elapsed()).arg(queuedMs)));

    if (isRestarted) {
        QTRY_COMPARE(player.state(), KLPlayerSource::StalledState);
        QCOMPARE(endedSpy.count(), 0);
    } else {
        QCOMPARE(endedSpy.count(), 1);
        QCOMPARE(player.state(), KLPlayerSource::StoppedState);
    }
    player.stop();
}

QTEST_GUILESS_MAIN(tst_KLRecordPlayback)
#include "tst_klrecordplayback.moc"
