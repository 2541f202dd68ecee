// Reading HLS media playlists: segment keys, addresses, discontinuities, line ends, the
// initialization segment and encryption in force for each segment, and the reload period.

#include <klhlsmediaplaylist.h>

#include <QTest>

class tst_KLHlsMediaPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

// Rows: the body, then per segment "key duration address" with a trailing "!" for a
// discontinuity and " map=..." / " key=METHOD address iv" when set, then the reload period and
// whether the playlist is complete.
void tst_KLHlsMediaPlaylist::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<bool>("ended");

    const QString base = QStringLiteral("https://u:p@cdn.example/live/v1/");
    QTest::newRow("three of 10 s from 100: average below half the total")
        << QByteArray("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:100\n#EXTINF:10,\na.ts\n#EXTINF:10,\nb.ts\n"
                      "#EXTINF:10.0,\nc.ts\n")
        << QStringList{"100 10 " + base + "a.ts", "101 10 " + base + "b.ts",
                       "102 10 " + base + "c.ts"}
        << 10000 << false;
    QTest::newRow("one of 6 s: half the total")
        << QByteArray("#EXTINF:6,\nx.ts\n") << QStringList{"0 6 " + base + "x.ts"} << 3000 << false;
    QTest::newRow("segments of 50 ms: the default period")
        << QByteArray("#EXTINF:.05,\nx.ts\n#EXTINF:0.05,\ny.ts\n")
        << QStringList{"0 0.05 " + base + "x.ts", "1 0.05 " + base + "y.ts"} << 1000 << false;
    QTest::newRow("segments of 100.25 ms: 100 ms whole, the default period")
        << QByteArray("#EXTINF:0.10025,\nx.ts\n#EXTINF:0.10025,\ny.ts\n")
        << QStringList{"0 0.10025 " + base + "x.ts", "1 0.10025 " + base + "y.ts"} << 1000 << false;
    QTest::newRow("no segments") << QByteArray("#EXTM3U\n#EXT-X-TARGETDURATION:6\n")
                                 << QStringList() << 1000 << false;
    QTest::newRow("duration 0 is dropped but keeps its number")
        << QByteArray("#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:0,\nzero.ts\n#EXTINF:2,\ntwo.ts\n")
        << QStringList{"8 2 " + base + "two.ts"} << 1000 << false;
    QTest::newRow("discontinuity, also behind another tag")
        << QByteArray("#EXTINF:4,\na.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:4,\nb.ts\n"
                      "#EXT-X-DISCONTINUITY\n#EXT-X-PROGRAM-DATE-TIME:2026-01-01T00:00:00Z\n"
                      "#EXTINF:4,\nc.ts\n#EXTINF:4,\nd.ts\n")
        << QStringList{"0 4 " + base + "a.ts", "1 4 " + base + "b.ts!", "2 4 " + base + "c.ts!",
                       "3 4 " + base + "d.ts"}
        << 4000 << false;
    QTest::newRow("last line without a line feed is listed")
        << QByteArray("#EXTINF:2,\na.ts\n#EXTINF:2,\nb.ts")
        << QStringList{"0 2 " + base + "a.ts", "1 2 " + base + "b.ts"} << 2000 << false;
    QTest::newRow("CR LF line ends")
        << QByteArray("#EXTM3U\r\n#EXT-X-MEDIA-SEQUENCE:3\r\n#EXTINF:2,\r\na.ts\r\n"
                      "#EXT-X-DISCONTINUITY\r\n#EXTINF:2,\r\n/root/b.ts\r\n#EXT-X-ENDLIST\r\n")
        << QStringList{"3 2 " + base + "a.ts", "4 2 https://u:p@cdn.example/root/b.ts!"} << 2000
        << true;
    QTest::newRow("network addresses only")
        << QByteArray("#EXTINF:2,\nfile:///etc/passwd\n#EXTINF:2,\n//other.example/b.ts\n")
        << QStringList{"1 2 https://other.example/b.ts"} << 1000 << false;
    QTest::newRow("initialization segment and keys, each until the next")
        << QByteArray("#EXT-X-MAP:URI=\"init.mp4\"\n#EXT-X-KEY:METHOD=AES-128,URI=\"/k/a,b\","
                      "IV=0x0102\n#EXTINF:2,\na.m4s\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k2\","
                      "KEYFORMAT=\"com.example\"\n#EXTINF:2,\nb.m4s\n#EXT-X-KEY:METHOD=AES-128,"
                      "URI=\"file:///k\"\n#EXT-X-MAP:URI=\"i2.mp4\"\n#EXTINF:2,\nc.m4s\n"
                      "#EXT-X-KEY:METHOD=NONE\n#EXTINF:2,\nd.m4s\n")
        << QStringList{"0 2 " + base + "a.m4s map=" + base +
                           "init.mp4 key=AES-128 https://u:p@cdn.example/k/a,b "
                           "00000000000000000000000000000102",
                       "1 2 " + base + "b.m4s map=" + base +
                           "init.mp4 key=SAMPLE-AES (com.example) " + base + "k2 ",
                       "2 2 " + base + "c.m4s map=" + base + "i2.mp4 key=AES-128  ",
                       "3 2 " + base + "d.m4s map=" + base + "i2.mp4"}
        << 2000 << false;
}

void tst_KLHlsMediaPlaylist::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, segments);
    QFETCH(int, intervalMs);
    QFETCH(bool, ended);

    const QUrl url(QStringLiteral("https://u:p@cdn.example/live/v1/index.m3u8?token=1"));
    const KLHlsMediaPlaylist playlist = KLHlsMediaPlaylist::parse(body, url, 64000);
    QStringList got;
    for (auto it = playlist.chunks.cbegin(); it != playlist.chunks.cend(); ++it) {
        QCOMPARE(it.key(), it->sequence);
        QCOMPARE(it->bitrate, 64000u);
        got << QStringLiteral("%1 %2 %3%4")
                   .arg(it.key())
                   .arg(it->duration)
                   .arg(it->url.toString(), it->isDiscontinuity ? "!" : "");
        if (!it->mapUrl.isEmpty())
            got.last() += QStringLiteral(" map=") + it->mapUrl.toString();
        if (!it->keyMethod.isEmpty())
            got.last() += QStringLiteral(" key=%1 %2 %3")
                              .arg(it->keyMethod, it->keyUrl.toString(),
                                   QString::fromLatin1(it->keyIv.toHex()));
    }
    QCOMPARE(got, segments);
    QCOMPARE(playlist.reloadIntervalMs, intervalMs);
    QCOMPARE(playlist.isEnded, ended);
}

QTEST_APPLESS_MAIN(tst_KLHlsMediaPlaylist)
#include "tst_klhlsmediaplaylist.moc"
