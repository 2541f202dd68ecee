// Demuxing HLS segments: metadata texts from the transport stream's metadata stream and from
// the leading tag of packed audio, and the bytes kept for the engine.

#include "hlstestmedia.h"

#include <klhlsdemuxer.h>
#include <klid3tag.h>

#include <QTest>

using namespace HlsTestMedia;

namespace {

// A transport stream packet of the audio stream (PID 256) without meaning.
QByteArray audioPacket()
{
    QByteArray packet(188, char(0xAA));
    packet[0] = char(0x47);
    packet[1] = char(0x41);
    packet[2] = char(0x00);
    packet[3] = char(0x10);
    return packet;
}

} // namespace

class tst_KLHlsDemuxer : public QObject
{
    Q_OBJECT

private slots:
    void demux_data();
    void demux();
    void tagClaimingMoreThanItHas();
};

void tst_KLHlsDemuxer::demux_data()
{
    QTest::addColumn<QByteArray>("segment");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("keptFrom"); // bytes of the segment that are not kept (a leading tag)

    const QByteArray audio = audioPacket() + audioPacket();
    const QByteArray titled = id3Tag("Song", "Band");
    QTest::newRow("title and properties") << audio + metadataPackets(titled) + audio
                                          << QStringList{"Song ARTIST:BandTITLE:Song"} << 0;
    QTest::newRow("TXXX wins") << metadataPackets(id3Tag("Song", QString(), "Now on air")) + audio
                               << QStringList{"Now on air"} << 0;
    QTest::newRow("two tags, scanned from the first sync byte, partial packet left")
        << QByteArray("junk") + audio + metadataPackets(id3Tag("A")) +
               metadataPackets(id3Tag(QString(200, 'B'))) + audio.left(100)
        << QStringList{"A TITLE:A", QString(200, 'B') + " TITLE:" + QString(200, 'B')} << 0;
    QTest::newRow("no metadata stream") << audio << QStringList() << 0;
    QTest::newRow("other stream id") << metadataPackets(titled, 0xC0) + audio << QStringList() << 0;
    QTest::newRow("packed audio: leading tag")
        << titled + QByteArray("\xFF\xF1\x50\x80", 4) << QStringList{"Song ARTIST:BandTITLE:Song"}
        << int(titled.size());
}

void tst_KLHlsDemuxer::demux()
{
    QFETCH(QByteArray, segment);
    QFETCH(QStringList, texts);
    QFETCH(int, keptFrom);

    KLHlsDemuxer demuxer;
    KLHlsChunk chunk;
    chunk.metas.insert(3, QStringLiteral("left over"));
    demuxer.demux(chunk, segment);
    QCOMPARE(chunk.data, segment.mid(keptFrom));
    QStringList got = chunk.metas.values(uint(chunk.data.size()));
    got.sort();
    QCOMPARE(got, texts);
    QCOMPARE(chunk.metas.size(), texts.size());
}

void tst_KLHlsDemuxer::tagClaimingMoreThanItHas()
{
    // The size field says 256 MiB; only the bytes given are read.
    QByteArray tag = id3Tag("Cut");
    tag[6] = tag[7] = tag[8] = tag[9] = char(0x7F);
    const KLId3Tag parsed(tag + QByteArray(16, '\0'));
    QCOMPARE(parsed.toString(), QStringLiteral("Cut TITLE:Cut"));
    QCOMPARE(KLId3Tag::tagLength(tag), tag.size());
    KLHlsDemuxer demuxer;
    KLHlsChunk chunk;
    demuxer.demux(chunk, tag);
    QVERIFY(chunk.data.isEmpty());
    QCOMPARE(chunk.metas.values(0), QStringList{"Cut TITLE:Cut"});
}

QTEST_APPLESS_MAIN(tst_KLHlsDemuxer)
#include "tst_klhlsdemuxer.moc"
