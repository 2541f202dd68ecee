#include "vcloudnessmatch.h"

#include <QTest>

#include <cmath>
#include <limits>

// The loudness matching's gain over a series of short-term measurements with given times.
class TestLoudnessMatch : public QObject
{
    Q_OBJECT

private slots:
    void gain_data();
    void gain();
};

void TestLoudnessMatch::gain_data()
{
    // Measurements as "ms:LUFS" ("-inf" for silence); the gain in dB after the last one.
    QTest::addColumn<QStringList>("measurements");
    QTest::addColumn<double>("gainDb");

    QTest::newRow("nothing measured: no gain") << QStringList{} << 0.0;
    QTest::newRow("silence only") << QStringList{"0:-inf", "5000:-inf"} << 0.0;
    QTest::newRow("the first block settles at once") << QStringList{"0:-30"} << 7.0;
    QTest::newRow("at most +12 dB") << QStringList{"0:-45"} << 12.0;
    QTest::newRow("at most -12 dB") << QStringList{"0:-5"} << -12.0;
    QTest::newRow("below the absolute gate") << QStringList{"0:-30", "1000:-75"} << 7.0;
    QTest::newRow("silence leaves it") << QStringList{"0:-30", "1000:-inf", "8000:-inf"} << 7.0;
    // A time constant of 3 s: after 3 s of a new loudness 63 % of the way.
    QTest::newRow("follows slowly")
        << QStringList{"0:-30", "3000:-20"} << 7.0 - 10 * (1 - std::exp(-1.0));
    QTest::newRow("a quiet passage does not pump")
        << QStringList{"0:-20", "2000:-45", "6000:-45", "12000:-45"} << -3.0;
    QTest::newRow("a long quiet passage is the new loudness")
        << QStringList{"0:-20", "1000:-45", "17000:-45", "47000:-45"} << 12.0;
}

void TestLoudnessMatch::gain()
{
    QFETCH(QStringList, measurements);
    QFETCH(double, gainDb);

    VCLoudnessMatch match;
    QCOMPARE(match.targetLufs(), -23.0);
    for (const QString &measurement : measurements) {
        const QStringList parts = measurement.split(QLatin1Char(':'));
        const double lufs =
            parts[1] == "-inf" ? -std::numeric_limits<double>::infinity() : parts[1].toDouble();
        match.measure(lufs, parts[0].toLongLong());
    }
    QVERIFY2(std::abs(match.gainDb() - gainDb) < 0.01,
             qPrintable(QStringLiteral("gain %1 dB").arg(match.gainDb())));
    QVERIFY(std::abs(match.gain() - std::pow(10.0, gainDb / 20)) < 0.002);
    match.reset();
    QCOMPARE(match.gainDb(), 0.0);
}

QTEST_GUILESS_MAIN(TestLoudnessMatch)
#include "tst_vcloudnessmatch.moc"
