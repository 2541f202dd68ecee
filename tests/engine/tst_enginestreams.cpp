// File streams on the "No sound" device: decoding of every supported format, levels, lengths,
// positions in real time, seeking, rate and volume attributes, ends and error codes.

#include "enginetestutil.h"

#include <bass.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cmath>
#include <thread>

using namespace enginetest;

class tst_EngineStreams : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void decodesKnownTone_data();
    void decodesKnownTone();
    void lengths_data();
    void lengths();
    void positionFollowsTheClock();
    void seeking();
    void freqAttributeDoublesTheRate();
    void volumeSlideAndMutedLevel();
    void levelModes();
    void endSyncAndAutoFree();
    void fileOffsetAndMemory();
    void damagedMiddleIsSkipped();
    void errorCodes_data();
    void errorCodes();
    void initAndFreeStages();
    void configAndPlugins();
    void deviceList();
    void errorCodePerThread();

private:
    HSTREAM open(const QString &path, DWORD flags = 0)
    {
        const QByteArray name = QFile::encodeName(path);
        const HSTREAM h = BASS_StreamCreateFile(FALSE, name.constData(), 0, 0, flags);
        if (h)
            m_streams.push_back(h);
        return h;
    }

    QTemporaryDir m_dir;
    QString m_wav;
    QByteArray m_memory;
    std::vector<HSTREAM> m_streams;
};

void tst_EngineStreams::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_wav = makeTone(m_dir, QStringLiteral("tone.wav"), 3, wavArgs());
    if (m_wav.isEmpty())
        QSKIP("the ffmpeg program is needed to generate test audio");
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

void tst_EngineStreams::cleanupTestCase()
{
    BASS_Free();
}

void tst_EngineStreams::cleanup()
{
    for (HSTREAM h : m_streams)
        BASS_StreamFree(h);
    m_streams.clear();
}

void tst_EngineStreams::decodesKnownTone_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("codec");
    QTest::addColumn<int>("rate");
    QTest::addColumn<DWORD>("ctype");
    QTest::addColumn<double>("tolerance");

    QTest::newRow("wav") << "t.wav" << wavArgs() << 44100 << DWORD(BASS_CTYPE_STREAM_WAV) << 0.005;
    QTest::newRow("flac") << "t.flac" << QStringList{} << 44100 << DWORD(BASS_CTYPE_STREAM_FLAC)
                          << 0.005;
    QTest::newRow("mp3") << "t.mp3" << QStringList{"-c:a", "libmp3lame", "-b:a", "128k"} << 44100
                         << DWORD(BASS_CTYPE_STREAM_MP3) << 0.02;
    QTest::newRow("aac adts") << "t.aac" << QStringList{"-c:a", "aac", "-f", "adts"} << 44100
                              << DWORD(BASS_CTYPE_STREAM_AAC) << 0.02;
    QTest::newRow("ogg vorbis") << "t.ogg" << QStringList{"-c:a", "libvorbis"} << 44100
                                << DWORD(BASS_CTYPE_STREAM_OGG) << 0.02;
    QTest::newRow("wav content named .mp3")
        << "w.mp3" << QStringList{"-c:a", "pcm_s16le", "-f", "wav"} << 44100
        << DWORD(BASS_CTYPE_STREAM_WAV) << 0.005;
    QTest::newRow("ogg opus 48k") << "t.opus" << QStringList{"-c:a", "libopus"} << 48000
                                  << DWORD(BASS_CTYPE_STREAM_OPUS) << 0.02;
}

void tst_EngineStreams::decodesKnownTone()
{
    QFETCH(QString, name);
    QFETCH(QStringList, codec);
    QFETCH(int, rate);
    QFETCH(DWORD, ctype);
    QFETCH(double, tolerance);

    const QString path = makeTone(m_dir, name, 2, codec, rate);
    QVERIFY2(!path.isEmpty(), "ffmpeg could not encode the tone");
    const HSTREAM h = open(path);
    QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
    BASS_CHANNELINFO info{};
    QVERIFY(BASS_ChannelGetInfo(h, &info));
    QCOMPARE(info.freq, DWORD(rate));
    QCOMPARE(info.chans, DWORD(2));
    QCOMPARE(info.ctype, ctype);

    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    QTRY_VERIFY_WITH_TIMEOUT(seconds(h) > 0.3, 3000);
    // 440 Hz at amplitude 0.5: RMS 0.5 / sqrt(2) = 0.3536, -9.03 dBFS.
    const float level = rmsLevel(h);
    QVERIFY2(std::fabs(level - 0.35355) < tolerance, qPrintable(QString::number(level)));
    QVERIFY(std::fabs(20 * std::log10(level) + 9.03) < 0.6);
}

void tst_EngineStreams::lengths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("codec");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("wav exact") << "l.wav" << wavArgs() << 0.0;
    QTest::newRow("flac exact") << "l.flac" << QStringList{} << 0.0;
    QTest::newRow("mp3 within a frame or two") << "l.mp3" << QStringList{"-b:a", "128k"} << 0.08;
}

void tst_EngineStreams::lengths()
{
    QFETCH(QString, name);
    QFETCH(QStringList, codec);
    QFETCH(double, tolerance);
    const QString path = makeTone(m_dir, name, 2.5, codec);
    QVERIFY(!path.isEmpty());
    const HSTREAM h = open(path);
    QVERIFY(h);
    const QWORD bytes = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    QVERIFY(bytes != QWORD(-1));
    QCOMPARE(bytes % 4, QWORD(0)); // whole 16-bit stereo frames
    const double secs = BASS_ChannelBytes2Seconds(h, bytes);
    QVERIFY2(std::fabs(secs - 2.5) <= tolerance + 1e-9, qPrintable(QString::number(secs)));
    QCOMPARE(BASS_ChannelSeconds2Bytes(h, 2.5), QWORD(2.5 * 44100) * 4);
    if (tolerance == 0.0)
        QCOMPARE(bytes, QWORD(110250) * 4);
}

void tst_EngineStreams::positionFollowsTheClock()
{
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), QWORD(0));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.05);
    const QString timing = checkPlaysInRealTime(h, 1.0);
    QVERIFY2(timing.isEmpty(), qPrintable(timing));

    // Paused: the position holds.
    QVERIFY(BASS_ChannelPause(h));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PAUSED));
    const QWORD held = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
    QTest::qWait(100);
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), held);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(BASS_ChannelGetPosition(h, BASS_POS_BYTE) > held);

    // The whole output paused: the channel reports it and holds its position.
    QVERIFY(BASS_Pause());
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PAUSED_DEVICE));
    // A period being mixed when the device paused may still land: wait until the position
    // holds between two looks.
    QWORD devicePaused = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
    const auto holds = [&] {
        const QWORD now = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
        const bool same = now == devicePaused;
        devicePaused = now;
        return same;
    };
    QTRY_VERIFY(holds());
    QTest::qWait(100);
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), devicePaused);
    QVERIFY(BASS_Start());
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    QTRY_VERIFY(BASS_ChannelGetPosition(h, BASS_POS_BYTE) > devicePaused);
}

void tst_EngineStreams::seeking()
{
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    const QWORD target = BASS_ChannelSeconds2Bytes(h, 1.5);
    QVERIFY(BASS_ChannelSetPosition(h, target, BASS_POS_BYTE));
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), target);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 1.7);
    QVERIFY(seconds(h) < 2.5);
    QVERIFY(std::fabs(rmsLevel(h) - 0.3536f) < 0.005);

    // Backwards while playing, then restart from the top.
    QVERIFY(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 0.5), BASS_POS_BYTE));
    // (Read while playing: a loaded machine may let a few periods pass first.)
    const double after = seconds(h);
    QVERIFY2(after >= 0.5 && after < 1.0, qPrintable(QString::number(after)));
    QVERIFY(BASS_ChannelPlay(h, TRUE));
    QVERIFY2(seconds(h) < 0.4, qPrintable(QString::number(seconds(h))));

    // Past the end.
    QVERIFY(
        !BASS_ChannelSetPosition(h, BASS_ChannelGetLength(h, BASS_POS_BYTE) + 4000, BASS_POS_BYTE));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
}

void tst_EngineStreams::freqAttributeDoublesTheRate()
{
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_FREQ, 88200));
    float freq = 0;
    QVERIFY(BASS_ChannelGetAttribute(h, BASS_ATTRIB_FREQ, &freq));
    QCOMPARE(freq, 88200.0f);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.1);
    // Two seconds of audio in one: long enough that the single rate fails.
    const QString timing = checkPlaysInRealTime(h, 2.0, 2.0);
    QVERIFY2(timing.isEmpty(), qPrintable(timing));

    // Back to the stream's own rate with 0.
    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_FREQ, 0));
    QVERIFY(BASS_ChannelGetAttribute(h, BASS_ATTRIB_FREQ, &freq));
    QCOMPARE(freq, 44100.0f);
    QVERIFY(!BASS_ChannelSetAttribute(h, BASS_ATTRIB_FREQ, 5));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

void tst_EngineStreams::volumeSlideAndMutedLevel()
{
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.1);
    QVERIFY(BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.0f, 300));
    QTRY_VERIFY(BASS_ChannelIsSliding(h, BASS_ATTRIB_VOL));
    float vol = -1;
    QTRY_VERIFY_WITH_TIMEOUT(
        BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &vol) && vol > 0.05f && vol < 0.95f, 1000);
    QTRY_VERIFY_WITH_TIMEOUT(!BASS_ChannelIsSliding(h, BASS_ATTRIB_VOL), 1000);
    QVERIFY(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &vol));
    QCOMPARE(vol, 0.0f);
    // Muted, the channel still reports the level of its own audio.
    QVERIFY(std::fabs(rmsLevel(h) - 0.3536f) < 0.005);

    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.8f));
    QVERIFY(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &vol));
    QCOMPARE(vol, 0.8f);
    QVERIFY(!BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, -1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    QVERIFY(!BASS_ChannelSetAttribute(h, 999, 1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
}

void tst_EngineStreams::levelModes()
{
    // Left at 0.5, right silent: per-channel peaks and RMS tell them apart.
    const QString path = m_dir.filePath(QStringLiteral("left.wav"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-y", "-f", "lavfi", "-i",
                  "aevalsrc=0.5*sin(2*PI*440*t)|0:s=44100:d=2", "-c:a", "pcm_s16le", path});
    QVERIFY(ffmpeg.waitForFinished(30000) && ffmpeg.exitCode() == 0);
    const HSTREAM h = open(path);
    QVERIFY(h);
    float levels[2] = {-1, -1};
    QVERIFY(!BASS_ChannelGetLevelEx(h, levels, 0.02f, BASS_LEVEL_RMS));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOPLAY);
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.2);
    QVERIFY(BASS_ChannelGetLevelEx(h, levels, 0.05f, BASS_LEVEL_RMS));
    QVERIFY(std::fabs(levels[0] - 0.3536f) < 0.005);
    QVERIFY(levels[1] < 0.001f);
    QVERIFY(BASS_ChannelGetLevelEx(h, levels, 0.05f, 0)); // peaks
    QVERIFY(std::fabs(levels[0] - 0.5f) < 0.01);
    QVERIFY(BASS_ChannelGetLevelEx(h, levels, 0.05f, BASS_LEVEL_MONO | BASS_LEVEL_RMS));
    QVERIFY(std::fabs(levels[0] - 0.25f) < 0.005); // power averaged over both channels
    QVERIFY(!BASS_ChannelGetLevelEx(h, levels, 2.0f, BASS_LEVEL_RMS));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

void tst_EngineStreams::endSyncAndAutoFree()
{
    const QString path = makeTone(m_dir, QStringLiteral("short.wav"), 0.3, wavArgs());
    SyncRecorder syncs;
    const HSTREAM kept = open(path);
    QVERIFY(kept);
    QVERIFY(syncs.attach(kept, BASS_SYNC_END));
    QVERIFY(BASS_ChannelPlay(kept, FALSE));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 1, 3000);
    QCOMPARE(BASS_ChannelIsActive(kept), DWORD(BASS_ACTIVE_STOPPED));
    QCOMPARE(BASS_ChannelGetPosition(kept, BASS_POS_BYTE), BASS_ChannelGetLength(kept, 0));
    // Played again from the start, it ends again.
    QVERIFY(BASS_ChannelPlay(kept, TRUE));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 2, 3000);

    SyncRecorder autoSyncs;
    const QByteArray name = QFile::encodeName(path);
    const HSTREAM gone = BASS_StreamCreateFile(FALSE, name.constData(), 0, 0, BASS_STREAM_AUTOFREE);
    QVERIFY(gone);
    QVERIFY(autoSyncs.attach(gone, BASS_SYNC_END));
    QVERIFY(BASS_ChannelPlay(gone, FALSE));
    QTRY_COMPARE_WITH_TIMEOUT(autoSyncs.count(BASS_SYNC_END), 1, 3000);
    QTRY_VERIFY(!BASS_ChannelGetInfo(gone, nullptr) && BASS_ErrorGetCode() == BASS_ERROR_HANDLE);

    // Stopping an auto-free stream frees it.
    const HSTREAM stopped =
        BASS_StreamCreateFile(FALSE, name.constData(), 0, 0, BASS_STREAM_AUTOFREE);
    QVERIFY(stopped);
    QVERIFY(BASS_ChannelStop(stopped));
    QVERIFY(!BASS_ChannelPlay(stopped, FALSE));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

void tst_EngineStreams::fileOffsetAndMemory()
{
    QFile file(m_wav);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // The engine reads the memory while the stream lives (until cleanup()): it outlives the test.
    m_memory = file.readAll();
    const QByteArray &bytes = m_memory;

    // From memory: the same audio.
    const HSTREAM mem = BASS_StreamCreateFile(TRUE, bytes.constData(), 0, QWORD(bytes.size()), 0);
    QVERIFY(mem);
    m_streams.push_back(mem);
    QCOMPARE(BASS_ChannelGetLength(mem, BASS_POS_BYTE), QWORD(3 * 44100 * 4));
    QCOMPARE(BASS_StreamGetFilePosition(mem, BASS_FILEPOS_END), QWORD(bytes.size()));

    // A file offset past the end cannot be opened; inside it opens the rest.
    const QByteArray name = QFile::encodeName(m_wav);
    QVERIFY(!BASS_StreamCreateFile(FALSE, name.constData(), QWORD(bytes.size()) + 1, 0, 0));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    // The audio starts after the header, with the samples of the "data" chunk.
    QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_START), QWORD(bytes.indexOf("data") + 8));
    QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), QWORD(bytes.size()));
    QVERIFY(BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT) > 0);
    QVERIFY(BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT) <= QWORD(bytes.size()));
    QCOMPARE(BASS_StreamGetFilePosition(h, 99), QWORD(-1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
}

void tst_EngineStreams::damagedMiddleIsSkipped()
{
    // 8 KiB of garbage in the middle of an MP3: the damaged frames are dropped and the stream
    // plays on to its end.
    const QString path = makeTone(m_dir, QStringLiteral("damaged.mp3"), 3, {"-b:a", "128k"});
    QVERIFY(!path.isEmpty());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    for (qsizetype i = bytes.size() / 2; i < bytes.size() / 2 + 8192; ++i)
        bytes[i] = char((i * 7919) & 0xff);
    file.seek(0);
    file.write(bytes);
    file.close();
    const HSTREAM h = open(path);
    QVERIFY(h);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_END));
    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_FREQ, 4 * 44100));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 1, 3000);
    const double played = seconds(h);
    QVERIFY2(played > 2.3, qPrintable(QString::number(played)));
}

void tst_EngineStreams::errorCodes_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("expected");
    QTest::newRow("missing file") << 0 << BASS_ERROR_FILEOPEN;
    QTest::newRow("not audio") << 1 << BASS_ERROR_FILEFORM;
    QTest::newRow("unknown handle") << 2 << BASS_ERROR_HANDLE;
    QTest::newRow("second init") << 3 << BASS_ERROR_ALREADY;
    QTest::newRow("bad sync type") << 4 << BASS_ERROR_ILLTYPE;
    QTest::newRow("pause a stopped channel") << 5 << BASS_ERROR_NOPLAY;
    QTest::newRow("unknown config option") << 6 << BASS_ERROR_ILLTYPE;
    QTest::newRow("put data into a file stream") << 7 << BASS_ERROR_NOTAVAIL;
    QTest::newRow("unknown add-on") << 8 << BASS_ERROR_FILEOPEN;
    QTest::newRow("no META tag yet") << 9 << BASS_ERROR_NOTAVAIL;
    QTest::newRow("push stream format") << 10 << BASS_ERROR_FORMAT;
    QTest::newRow("seek a push stream") << 11 << BASS_ERROR_NOTAVAIL;
}

void tst_EngineStreams::errorCodes()
{
    QFETCH(int, call);
    QFETCH(int, expected);
    const QString text = m_dir.filePath(QStringLiteral("text.mp3"));
    QFile f(text);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(20000, 'x'));
    f.close();
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    bool failed = false;
    switch (call) {
    case 0:
        failed = !BASS_StreamCreateFile(FALSE, "/nonexistent/x.mp3", 0, 0, 0);
        break;
    case 1:
        failed = !open(text);
        break;
    case 2:
        failed = !BASS_ChannelPlay(h + 1000, FALSE);
        break;
    case 3:
        failed = !BASS_Init(0, 44100, 0, nullptr, nullptr);
        break;
    case 4:
        failed = !BASS_ChannelSetSync(
            h, 99, 0, [](HSYNC, DWORD, DWORD, void *) {}, nullptr);
        break;
    case 5:
        failed = !BASS_ChannelPause(h);
        break;
    case 6:
        failed = BASS_GetConfig(9999) == DWORD(-1);
        break;
    case 7:
        failed = BASS_StreamPutData(h, "abcd", 4) == DWORD(-1);
        break;
    case 8:
        failed = !BASS_PluginLoad("libnothing.so", 0);
        break;
    case 9:
        failed = !BASS_ChannelGetTags(h, BASS_TAG_META);
        break;
    case 10:
        failed = !BASS_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr);
        break;
    case 11: {
        const HSTREAM push = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(push);
        m_streams.push_back(push);
        failed = !BASS_ChannelSetPosition(push, 0, BASS_POS_BYTE);
        break;
    }
    }
    QVERIFY(failed);
    QCOMPARE(BASS_ErrorGetCode(), expected);
    // The next successful call resets the code.
    QVERIFY(BASS_ChannelIsActive(h) == BASS_ACTIVE_STOPPED);
    QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
}

void tst_EngineStreams::initAndFreeStages()
{
    const HSTREAM h = open(m_wav);
    QVERIFY(h);
    QVERIFY(BASS_Free());
    // Freeing the device frees its streams.
    QVERIFY(!BASS_ChannelIsActive(h) && BASS_ErrorGetCode() == BASS_ERROR_HANDLE);
    m_streams.clear();
    QVERIFY(!BASS_Free());
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    QVERIFY(!open(m_wav));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    QVERIFY(!BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
    QVERIFY(!BASS_Init(9999, 44100, 0, nullptr, nullptr));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    QCOMPARE(BASS_GetDevice(), DWORD(0));
    BASS_INFO info{};
    QVERIFY(BASS_GetInfo(&info));
    QCOMPARE(info.freq, DWORD(44100));
    QVERIFY(open(m_wav));
}

void tst_EngineStreams::configAndPlugins()
{
    QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 10000));
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT), DWORD(10000));
    QVERIFY(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2));
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_PLAYLIST), DWORD(2));
    QVERIFY(!BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 3));
    QVERIFY(BASS_SetConfig(BASS_CONFIG_VERIFY_NET, 4096));
    QCOMPARE(BASS_GetConfig(BASS_CONFIG_VERIFY_NET), DWORD(4096));

    QVERIFY(BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, "Agent/1.0"));
    const auto *agent = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_NET_AGENT));
    QCOMPARE(QByteArray(agent), QByteArray("Agent/1.0"));
    QVERIFY(BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, "Other"));
    QCOMPARE(QByteArray(agent), QByteArray("Agent/1.0")); // earlier results stay valid
    QVERIFY(BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, nullptr));
    QVERIFY(!BASS_GetConfigPtr(BASS_CONFIG_NET_AGENT));
    QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
    const auto *file = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_FILENAME));
    QVERIFY(file && QByteArray(file).contains("KelvanePlayerEngine"));
    QVERIFY(!BASS_SetConfigPtr(BASS_CONFIG_FILENAME, "x"));

    QVERIFY(BASS_PluginLoad("bassopus", 0));
    QVERIFY(BASS_PluginLoad("basshls", 0));
    QCOMPARE(BASS_GetVersion(), DWORD(BASSVERSION));
}

void tst_EngineStreams::deviceList()
{
    BASS_DEVICEINFO info{};
    QVERIFY(BASS_GetDeviceInfo(0, &info));
    QCOMPARE(QByteArray(info.name), QByteArray("No sound"));
    QVERIFY(info.flags & BASS_DEVICE_ENABLED);
    QVERIFY(info.flags & BASS_DEVICE_INIT);
    DWORD count = 0;
    while (BASS_GetDeviceInfo(count, &info))
        ++count;
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    QVERIFY(count >= 1);
    QVERIFY(!BASS_GetDeviceInfo(0, nullptr));
}

void tst_EngineStreams::errorCodePerThread()
{
    QVERIFY(!BASS_ChannelPlay(0, FALSE));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    int other = -2;
    std::thread([&] {
        other = BASS_ErrorGetCode(); // fresh thread: nothing failed yet
        BASS_GetConfig(9999);
    }).join();
    QCOMPARE(other, BASS_OK);
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

QTEST_GUILESS_MAIN(tst_EngineStreams)
#include "tst_enginestreams.moc"
