#include "netplaylist.h"

#include <QTest>

using engine::NetPlaylist;
using Kind = engine::NetPlaylist::Kind;

Q_DECLARE_METATYPE(engine::NetPlaylist::Kind)

class TestNetPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void detect_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("head");
        QTest::addColumn<QString>("path");
        QTest::addColumn<Kind>("expected");
        QTest::newRow("pls type") << "audio/x-scpls"
                                  << ""
                                  << "/a" << Kind::Pls;
        QTest::newRow("m3u type with charset") << "audio/x-mpegurl; charset=utf-8"
                                               << "http://x\n"
                                               << "/a" << Kind::M3u;
        QTest::newRow("hls") << "application/vnd.apple.mpegurl"
                             << "#EXTM3U\n#EXT-X-TARGETDURATION:6\n"
                             << "/a" << Kind::Hls;
        QTest::newRow("pls sniffed") << "text/plain"
                                     << "\xEF\xBB\xBF [Playlist]\nFile1=x"
                                     << "/" << Kind::Pls;
        QTest::newRow("m3u sniffed") << ""
                                     << "#EXTM3U\nhttp://x"
                                     << "/" << Kind::M3u;
        QTest::newRow("pls by path") << "text/plain"
                                     << "File1=x"
                                     << "/radio.PLS" << Kind::Pls;
        QTest::newRow("m3u by path") << ""
                                     << "http://x"
                                     << "/radio.m3u" << Kind::M3u;
        QTest::newRow("audio wins over path") << "audio/mpeg"
                                              << "ID3"
                                              << "/radio.m3u" << Kind::None;
        QTest::newRow("mp3") << "audio/mpeg"
                             << "\xFF\xFB\x90"
                             << "/live" << Kind::None;
    }

    void detect()
    {
        QFETCH(QString, type);
        QFETCH(QString, head);
        QFETCH(QString, path);
        QFETCH(Kind, expected);
        QCOMPARE(NetPlaylist::detect(type.toStdString(), head.toLatin1().toStdString(),
                                     path.toStdString()),
                 expected);
    }

    void parse_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("pls ordered by number")
            << Kind::Pls
            << "[playlist]\r\nNumberOfEntries=2\r\nFile2=http://b/\r\nTitle1=A\r\nFile1= http://a/ "
               "\r\nLength1=-1\r\nVersion=2\r\n"
            << QStringList{"http://a/", "http://b/"};
        QTest::newRow("pls junk keys")
            << Kind::Pls << "[playlist]\nFileX=x\nFile=y\nFile3=\nFile4=ok" << QStringList{"ok"};
        QTest::newRow("m3u") << Kind::M3u
                             << "#EXTM3U\n#EXTINF:-1,Radio\nhttp://a/\n\n  rel/b.mp3  \r\n# c\n"
                             << QStringList{"http://a/", "rel/b.mp3"};
        QTest::newRow("m3u without newline")
            << Kind::M3u << "http://only" << QStringList{"http://only"};
        QTest::newRow("empty") << Kind::M3u << "#EXTM3U\n" << QStringList{};
        QTest::newRow("none") << Kind::None << "http://a/" << QStringList{};
    }

    void parse()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QStringList got;
        for (const std::string &e : NetPlaylist::parse(kind, text.toStdString()))
            got << QString::fromStdString(e);
        QCOMPARE(got, expected);
    }

    void bounds()
    {
        std::string m3u;
        for (int i = 0; i < 1000; ++i)
            m3u += "http://host/" + std::to_string(i) + "\n";
        QCOMPARE(NetPlaylist::parse(Kind::M3u, m3u).size(), NetPlaylist::MaxEntries);
        const std::string longLine =
            std::string(NetPlaylist::MaxEntryLength + 1, 'a') + "\nhttp://b\n";
        const auto entries = NetPlaylist::parse(Kind::M3u, longLine);
        QCOMPARE(entries.size(), size_t(1));
        QCOMPARE(entries.front(), std::string("http://b"));
        // Text beyond the size limit is not read.
        std::string big(NetPlaylist::MaxBytes, '#');
        big += "\nhttp://late\n";
        QVERIFY(NetPlaylist::parse(Kind::M3u, big).empty());
    }
};

QTEST_APPLESS_MAIN(TestNetPlaylist)
#include "tst_netplaylist.moc"
