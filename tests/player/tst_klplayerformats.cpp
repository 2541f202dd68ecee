// What the player reads out of the streams themselves: the titles of a chained Ogg stream's links
// and the bitrate of a stream whose server names none. Real engine on its "No sound" device,
// files made by ffmpeg, served at about real time on a loopback server.

#include "playertestmedia.h"

#include <klbass.h>
#include <klbassplayback.h>
#include <klplayer.h>

#include <bass.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int Songs = 3;
constexpr double SongSeconds = 1.5;
// Audio a new listener gets at once: titles published as they arrive would come seconds early.
constexpr double BurstSeconds = 3;

float measuredKbps(HSTREAM handle)
{
    float kbps = 0;
    BASS_ChannelGetAttribute(handle, BASS_ATTRIB_BITRATE, &kbps);
    return kbps;
}

} // namespace

class tst_KLPlayerFormats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void oggTitlesAtPlayTime_data();
    void oggTitlesAtPlayTime();
    void measuredBitrate_data();
    void measuredBitrate();
    void standardBitrate_data();
    void standardBitrate();

private:
    QTemporaryDir m_dir;
    QByteArray m_mp3;
};

void tst_KLPlayerFormats::initTestCase()
{
    KLBass::outputDevice = 0; // "No sound"
    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath(QStringLiteral("tone.mp3"));
    QVERIFY(PlayerTestMedia::makeMp3(path, 10, 0.5)); // 128 kbit/s, constant
    m_mp3 = PlayerTestMedia::readFile(path);
    QVERIFY(!m_mp3.isEmpty());
}

void tst_KLPlayerFormats::oggTitlesAtPlayTime_data()
{
    QTest::addColumn<QString>("codec");
    QTest::newRow("Opus") << QStringLiteral("libopus");
    QTest::newRow("Vorbis") << QStringLiteral("libvorbis");
    QTest::newRow("FLAC") << QStringLiteral("flac");
}

void tst_KLPlayerFormats::oggTitlesAtPlayTime()
{
    QFETCH(QString, codec);
    const QByteArray chained =
        PlayerTestMedia::makeChainedOgg(m_dir.path(), codec, Songs, SongSeconds);
    QVERIFY(!chained.isEmpty());
    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    QVERIFY(server.listen());
    PlayerTestMedia::servePaced(server, QStringLiteral("/ogg"), chained,
                                {{"Content-Type", "audio/ogg"}},
                                int(chained.size() / (Songs * SongSeconds)), BurstSeconds);

    KLPlayer player;
    QStringList titles;
    QList<double> heardAt;
    connect(&player, &KLPlayerSource::metaChanged, this, [&](const QString &meta) {
        if (meta.isEmpty())
            return;
        titles.append(meta);
        const HSTREAM handle = player.stream();
        heardAt.append(
            BASS_ChannelBytes2Seconds(handle, BASS_ChannelGetPosition(handle, BASS_POS_BYTE)));
    });
    player.play(server.url(QStringLiteral("/ogg")));
    QTRY_COMPARE_WITH_TIMEOUT(titles.size(), Songs, 20000);
    for (int i = 0; i < Songs; ++i) {
        QCOMPARE(titles.at(i), QStringLiteral("StreamTitle='Artist %1 - Song %1';").arg(i + 1));
        // Each title comes as its song is heard, not as it is downloaded.
        QVERIFY2(qAbs(heardAt.at(i) - i * SongSeconds) < 0.5,
                 qPrintable(QStringLiteral("song %1 at %2 s").arg(i + 1).arg(heardAt.at(i))));
    }
    player.stop();
}

void tst_KLPlayerFormats::measuredBitrate_data()
{
    QTest::addColumn<QByteArray>("icyBr");
    QTest::addColumn<uint>("bitrate");
    QTest::addColumn<int>("quality");
    // The stand-in of 64000 gives way to the measure; a bitrate that the server names stays,
    // right or wrong.
    QTest::newRow("no icy-br") << QByteArray() << 128000u << int(KLPlayerSource::HighQuality);
    QTest::newRow("icy-br 64") << QByteArray("64") << 64000u << int(KLPlayerSource::MidQuality);
}

void tst_KLPlayerFormats::measuredBitrate()
{
    QFETCH(QByteArray, icyBr);
    QFETCH(uint, bitrate);
    QFETCH(int, quality);
    LoopbackHttpServer server(LoopbackHttpServer::OwnThread);
    QVERIFY(server.listen());
    LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"}};
    if (!icyBr.isEmpty())
        headers.append({"icy-br", icyBr});
    PlayerTestMedia::servePaced(server, QStringLiteral("/mp3"), m_mp3, headers,
                                PlayerTestMedia::StreamBytesPerSecond, BurstSeconds);

    KLPlayer player;
    QElapsedTimer clock;
    clock.start();
    player.play(server.url(QStringLiteral("/mp3")));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), KLPlayerSource::PlayingState, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(measuredKbps(player.stream()) > 0, 10000);
    QCOMPARE(measuredKbps(player.stream()), 128.0f); // nominal: the same in every frame
    QTRY_COMPARE_WITH_TIMEOUT(player.currentBitrate(), bitrate, 5000);
    // Another second of play leaves the back-end time to change its mind; it does not.
    const double from = player.position();
    QTRY_VERIFY_WITH_TIMEOUT(player.position() > from + 1, 5000);
    QCOMPARE(player.currentBitrate(), bitrate);
    QCOMPARE(int(player.currentQuality()), quality);
    QCOMPARE(player.availableBitrates(), QList<quint32>{bitrate});

    // Received bytes: at least what was played, at most what the server can have sent.
    const double played = player.position();
    player.stop();
    const double sentSeconds = BurstSeconds + clock.elapsed() / 1000.0 + 1;
    const quint64 received = player.receivedBytes();
    QVERIFY2(received >= quint64(played * PlayerTestMedia::StreamBytesPerSecond),
             qPrintable(QString::number(received)));
    QVERIFY2(received <= quint64(sentSeconds * PlayerTestMedia::StreamBytesPerSecond),
             qPrintable(QString::number(received)));
    // A new connection adds its bytes to the count.
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(player.receivedBytes() >
                                 received + BurstSeconds * PlayerTestMedia::StreamBytesPerSecond,
                             10000);
    player.stop();
}

void tst_KLPlayerFormats::standardBitrate_data()
{
    QTest::addColumn<double>("measured");
    QTest::addColumn<uint>("standard");
    QTest::newRow("constant, padded frames") << 128310.0 << 128000u;
    QTest::newRow("variable near 192") << 184700.0 << 192000u;
    QTest::newRow("low") << 21000.0 << 24000u;
    QTest::newRow("top of the table") << 340000.0 << 320000u;
    QTest::newRow("lossless") << 905000.0 << 896000u;
}

void tst_KLPlayerFormats::standardBitrate()
{
    QFETCH(double, measured);
    QFETCH(uint, standard);
    QCOMPARE(KLBassPlayback::standardBitrate(measured), standard);
}

QTEST_GUILESS_MAIN(tst_KLPlayerFormats)
#include "tst_klplayerformats.moc"
