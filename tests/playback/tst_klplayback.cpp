#include "klplayback.h"
#include "playbacktestplayer.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// A back-end whose speed samples come from a script.
class ScriptedPlayback : public KLPlayback
{
public:
    using KLPlayback::KLPlayback;

    void setThreshold(double threshold) { m_threshold = threshold; }
    void evaluate() { updateBitrateCoef(); }
    QTimer *coefTimer() const { return findChild<QTimer *>(); }

    QList<double> samples;
    int sampled = 0;

protected:
    double speedCoef() override
    {
        ++sampled;
        return samples.isEmpty() ? 0.0 : samples.takeFirst();
    }
};

KLPlaylistStreams bitrates(std::initializer_list<uint> list)
{
    KLPlaylistStreams streams;
    for (uint bitrate : list)
        streams.insert(bitrate, QUrl(QStringLiteral("http://h/%1").arg(bitrate)));
    return streams;
}

} // namespace

class tst_KLPlayback : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void coefficient_data();
    void coefficient();
    void coefficientStaysWithinRange();
    void restartWhenMappedBitrateChanges();
    void startAndStop();
    void parentAndGonePlayer();

private:
    std::unique_ptr<PlaybackTestPlayer> m_player;
};

void tst_KLPlayback::init()
{
    m_player = std::make_unique<PlaybackTestPlayer>();
}

void tst_KLPlayback::cleanup()
{
    m_player.reset();
}

void tst_KLPlayback::coefficient_data()
{
    QTest::addColumn<double>("threshold");
    QTest::addColumn<QList<double>>("samples");
    // Evaluation (counted from 1) at which the coefficient first changes (0: never), and the
    // coefficient after the last sample.
    QTest::addColumn<int>("firstChange");
    QTest::addColumn<double>("finalCoef");

    QTest::newRow("steady above threshold") << 0.5 << QList<double>(40, 1.0) << 0 << 1.0;
    QTest::newRow("no data: a step per evaluation from the 20th on")
        << 0.5 << QList<double>(25, 0.0) << 20 << 0.94;
    QTest::newRow("too few samples decide nothing") << 0.5 << QList<double>(19, 0.0) << 0 << 1.0;
    // One large sample lifts the mean while it is in the window, and no longer.
    QTest::newRow("a burst keeps the coefficient for one window")
        << 0.5 << (QList<double>{100.0} + QList<double>(21, 0.0)) << 21 << 0.98;
    QTest::newRow("a burst at the end lifts the mean at once")
        << 0.5 << (QList<double>(22, 0.0) + QList<double>{1000.0, 0.0}) << 20 << 0.99;
    QTest::newRow("just below the threshold falls")
        << 0.95 << QList<double>(21, 0.94) << 20 << 0.98;
    QTest::newRow("download rate in bit/s keeps the URL back-end up")
        << 0.95 << QList<double>(30, 128000.0) << 0 << 1.0;
}

void tst_KLPlayback::coefficient()
{
    QFETCH(double, threshold);
    QFETCH(QList<double>, samples);
    QFETCH(int, firstChange);
    QFETCH(double, finalCoef);

    m_player->setStreams(bitrates({64000}));
    ScriptedPlayback playback(m_player.get());
    playback.setThreshold(threshold);
    playback.samples = samples;
    QSignalSpy coefChanged(&playback, &KLPlayback::bitrateCoefChanged);

    int changedAt = 0;
    for (int i = 1; i <= samples.size(); ++i) {
        playback.evaluate();
        if (!changedAt && !coefChanged.isEmpty())
            changedAt = i;
    }
    QCOMPARE(playback.sampled, samples.size());
    QCOMPARE(changedAt, firstChange);
    QVERIFY2(qAbs(playback.bitrateCoef() - finalCoef) < 1e-9,
             qPrintable(QString::number(playback.bitrateCoef())));
    if (!coefChanged.isEmpty())
        QCOMPARE(coefChanged.last().at(0).toDouble(), playback.bitrateCoef());
}

void tst_KLPlayback::coefficientStaysWithinRange()
{
    m_player->setStreams(bitrates({64000}));
    ScriptedPlayback playback(m_player.get());
    QSignalSpy coefChanged(&playback, &KLPlayback::bitrateCoefChanged);
    for (int i = 0; i < 150; ++i)
        playback.evaluate();
    QCOMPARE(playback.bitrateCoef(), 0.0);
    // 1.0 down to 0 in 100 steps, then no more changes.
    QCOMPARE(coefChanged.size(), 100);

    playback.samples = QList<double>(150, 10.0);
    for (int i = 0; i < 150; ++i)
        playback.evaluate();
    QCOMPARE(playback.bitrateCoef(), 1.0);
    QCOMPARE(coefChanged.size(), 200);
}

void tst_KLPlayback::restartWhenMappedBitrateChanges()
{
    // Eight bitrates: every 0.125 of coefficient maps to the next lower one.
    m_player->setStreams(bitrates({10, 20, 30, 40, 50, 60, 70, 80}));
    ScriptedPlayback playback(m_player.get());
    QCOMPARE(playback.start(), HSTREAM(0));
    QSignalSpy restart(&playback, &KLPlayback::restartRequired);
    QSignalSpy bitrateChanged(&playback, &KLPlayback::currentBitrateChanged);

    // The first full window maps 0.99 to the top bitrate: the back-end had none yet.
    for (int i = 0; i < 20; ++i)
        playback.evaluate();
    QCOMPARE(restart.size(), 1);
    QCOMPARE(restart.last().at(0).toUInt(), 80u);
    QCOMPARE(playback.currentBitrate(), 80u);

    // Down to 0.88 the mapping stays; at 0.87 it moves to 70, once.
    for (int i = 0; i < 11; ++i) {
        playback.evaluate();
        QCOMPARE(restart.size(), 1);
    }
    playback.evaluate();
    QCOMPARE(restart.size(), 2);
    QCOMPARE(restart.last().at(0).toUInt(), 70u);
    QCOMPARE(playback.currentBitrate(), 70u);
    QCOMPARE(bitrateChanged.size(), 2);
    QCOMPARE(bitrateChanged.last().at(0).toUInt(), 70u);
    playback.stop();
}

void tst_KLPlayback::startAndStop()
{
    ScriptedPlayback playback(m_player.get());
    QVERIFY(!playback.coefTimer()->isActive());
    QCOMPARE(playback.coefTimer()->interval(), 500);

    // The base creates no stream but starts the evaluations.
    QCOMPARE(playback.start(12345), HSTREAM(0));
    QVERIFY(playback.coefTimer()->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(playback.sampled > 0, 2000);

    m_player->setStreams(bitrates({32000, 64000}));
    for (int i = 0; i < 20; ++i)
        playback.evaluate();
    QCOMPARE(playback.currentBitrate(), 64000u);

    QSignalSpy meta(&playback, &KLPlayback::metaUpdated);
    QSignalSpy bitrate(&playback, &KLPlayback::currentBitrateChanged);
    playback.stop();
    QVERIFY(!playback.coefTimer()->isActive());
    QCOMPARE(meta.size(), 1);
    QCOMPARE(meta.first().at(0).toString(), QString());
    QCOMPARE(bitrate.size(), 1);
    QCOMPARE(bitrate.first().at(0).toUInt(), 0u);

    // Without a bitrate, stopping announces no bitrate change.
    playback.stop();
    QCOMPARE(meta.size(), 2);
    QCOMPARE(bitrate.size(), 1);
}

void tst_KLPlayback::parentAndGonePlayer()
{
    QObject other;
    auto *owned = new ScriptedPlayback(m_player.get());
    QCOMPARE(owned->parent(), m_player.get());
    ScriptedPlayback withParent(m_player.get(), &other);
    QCOMPARE(withParent.parent(), &other);
    withParent.setParent(nullptr);

    ScriptedPlayback orphan(m_player.get(), &other);
    orphan.setParent(nullptr);
    QPointer<ScriptedPlayback> guard(owned);
    m_player.reset();
    QVERIFY(!guard);

    // The player is gone: no timer, no evaluation.
    QCOMPARE(orphan.start(), HSTREAM(0));
    QVERIFY(!orphan.coefTimer()->isActive());
    for (int i = 0; i < 25; ++i)
        orphan.evaluate();
    QCOMPARE(orphan.sampled, 0);
    QCOMPARE(orphan.bitrateCoef(), 1.0);
}

QTEST_MAIN(tst_KLPlayback)
#include "tst_klplayback.moc"
