#include "icyparser.h"

#include <QTest>

#include <random>

using engine::IcyParser;

namespace {

struct Built
{
    std::string wire;
    std::string audio;
    std::vector<std::pair<std::string, int64_t>> metas;
};

// An ICY body: `blocks` audio intervals of `metaint` bytes, each followed by a metadata block
// (every other one empty).
Built build(int64_t metaint, int blocks, size_t textSize)
{
    Built b;
    uint8_t v = 0;
    for (int i = 0; i < blocks; ++i) {
        for (int64_t k = 0; k < metaint; ++k) {
            b.audio.push_back(static_cast<char>(v));
            b.wire.push_back(static_cast<char>(v));
            v = static_cast<uint8_t>(v * 31 + 7);
        }
        if (i % 2 == 1) {
            b.wire.push_back('\0');
            continue;
        }
        std::string text = "StreamTitle='Song " + std::to_string(i) + "';";
        text.resize(std::max(text.size(), textSize), 'x');
        text.resize(std::min<size_t>(text.size(), IcyParser::MaxMetaBytes));
        const size_t blocks16 = (text.size() + 15) / 16;
        b.wire.push_back(static_cast<char>(blocks16));
        std::string padded = text;
        padded.resize(blocks16 * 16, '\0');
        b.wire += padded;
        b.metas.emplace_back(text, metaint * (i + 1));
    }
    return b;
}

} // namespace

class TestIcyParser : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<int>("metaint");
        QTest::addColumn<int>("textSize");
        QTest::addColumn<int>("chunk"); // 0: random sizes
        QTest::newRow("metaint 1, byte by byte") << 1 << 0 << 1;
        QTest::newRow("metaint 7, chunks of 3") << 7 << 20 << 3;
        QTest::newRow("metaint 16000, random") << 16000 << 0 << 0;
        QTest::newRow("metaint 8192, whole") << 8192 << 100 << 1000000;
        QTest::newRow("largest block, chunks of 17") << 100 << 4080 << 17;
        QTest::newRow("largest block, random") << 4096 << 5000 << 0;
    }

    void split()
    {
        QFETCH(int, metaint);
        QFETCH(int, textSize);
        QFETCH(int, chunk);
        const Built b = build(metaint, 6, static_cast<size_t>(textSize));
        IcyParser p(metaint);
        std::string audio;
        std::vector<std::pair<std::string, int64_t>> metas;
        std::mt19937 rng(42);
        size_t i = 0;
        while (i < b.wire.size()) {
            size_t n = chunk > 0 ? static_cast<size_t>(chunk) : 1 + rng() % 5000;
            n = std::min(n, b.wire.size() - i);
            p.feed(
                reinterpret_cast<const uint8_t *>(b.wire.data() + i), n,
                [&](const uint8_t *d, size_t s) {
                    audio.append(reinterpret_cast<const char *>(d), s);
                },
                [&](const std::string &t, int64_t at) { metas.emplace_back(t, at); });
            i += n;
        }
        QVERIFY(audio == b.audio);
        QCOMPARE(metas.size(), b.metas.size());
        for (size_t k = 0; k < metas.size(); ++k) {
            QCOMPARE(metas[k].first, b.metas[k].first);
            QCOMPARE(metas[k].second, b.metas[k].second);
        }
        QCOMPARE(p.audioBytes(), static_cast<int64_t>(b.audio.size()));
    }

    void parseMetaint_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("plain") << "16000" << qint64(16000);
        QTest::newRow("spaces") << " 8192 \r\n" << qint64(8192);
        QTest::newRow("empty") << "" << qint64(0);
        QTest::newRow("zero") << "0" << qint64(0);
        QTest::newRow("negative") << "-5" << qint64(0);
        QTest::newRow("garbage") << "12ab" << qint64(0);
        QTest::newRow("too large") << "99999999999" << qint64(0);
    }

    void parseMetaint()
    {
        QFETCH(QString, value);
        QFETCH(qint64, expected);
        QCOMPARE(IcyParser::parseMetaint(value.toStdString()), expected);
    }

    void noMetaint()
    {
        IcyParser p(0);
        std::string audio;
        int metas = 0;
        const std::string data("\x05StreamTitle='x';", 17);
        p.feed(
            reinterpret_cast<const uint8_t *>(data.data()), data.size(),
            [&](const uint8_t *d, size_t s) { audio.append(reinterpret_cast<const char *>(d), s); },
            [&](const std::string &, int64_t) { ++metas; });
        QCOMPARE(audio, data);
        QCOMPARE(metas, 0);
    }
};

QTEST_APPLESS_MAIN(TestIcyParser)
#include "tst_icyparser.moc"
