#include "vcfailovernotifier.h"

#include <QSignalSpy>
#include <QTest>

using Reason = VCFailoverNotifier::Reason;

class TestVCFailoverNotifier : public QObject
{
    Q_OBJECT

private slots:
    void flappingGivesOneNotificationPerInterval();
    void goingOffTheAirIsToldAtOnce();
    void offShowsNothing();
};

namespace {

constexpr int intervalMs = 300;

QString textOf(const QSignalSpy &spy, int i)
{
    return spy.at(i).at(0).toString() + QLatin1Char('\n') + spy.at(i).at(1).toString();
}

} // namespace

void TestVCFailoverNotifier::flappingGivesOneNotificationPerInterval()
{
    VCFailoverNotifier notifier;
    notifier.setIntervalMs(intervalMs);
    QSignalSpy spy(&notifier, &VCFailoverNotifier::notify);

    // Without a translator the counted text keeps its source form. Two sources take turns ten
    // times: the first change is told at once, the other nine as one notification of the last of
    // them, with their count, when the interval ends.
    for (int i = 0; i < 10; ++i) {
        const bool toBackup = i % 2 == 0;
        notifier.reportOnAir(toBackup ? QStringLiteral("2. backup") : QStringLiteral("1. main"),
                             toBackup ? QStringLiteral("1. main") : QStringLiteral("2. backup"),
                             toBackup ? Reason::Stalled : Reason::CameBack);
    }
    QCOMPARE(spy.count(), 1);
    QCOMPARE(textOf(spy, 0), QStringLiteral("Now on air: 2. backup\n1. main stalled."));
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(
        textOf(spy, 1),
        QStringLiteral("Now on air: 1. main\n1. main came back.\n9 change(s) within 0 seconds."));
    QCOMPARE(spy.at(1).at(2).toBool(), false);

    // What the interval's end showed opens a new interval: the next change waits for it.
    notifier.reportOnAir(QStringLiteral("2. backup"), QStringLiteral("1. main"),
                         Reason::WentSilent);
    QCOMPARE(spy.count(), 2);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(textOf(spy, 2), QStringLiteral("Now on air: 2. backup\n1. main went silent."));
}

void TestVCFailoverNotifier::goingOffTheAirIsToldAtOnce()
{
    VCFailoverNotifier notifier;
    notifier.setIntervalMs(intervalMs);
    QSignalSpy spy(&notifier, &VCFailoverNotifier::notify);

    notifier.reportOnAir(QStringLiteral("2. backup"), QStringLiteral("1. main"),
                         Reason::Disconnected);
    notifier.reportNothingHeard();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("No source can be heard"));
    QCOMPARE(spy.at(1).at(2).toBool(), true);

    // Flapping between sound and silence: one change of kind at once per interval, the rest
    // when it ends.
    notifier.reportOnAir(QStringLiteral("1. main"), QString(), Reason::CameBack);
    notifier.reportNothingHeard();
    QCOMPARE(spy.count(), 2);
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(spy.at(2).at(2).toBool(), true);
    QVERIFY(textOf(spy, 2).endsWith(QStringLiteral("2 change(s) within 0 seconds.")));
}

void TestVCFailoverNotifier::offShowsNothing()
{
    VCFailoverNotifier notifier;
    notifier.setIntervalMs(intervalMs);
    QSignalSpy spy(&notifier, &VCFailoverNotifier::notify);
    notifier.setEnabled(false);
    notifier.reportNothingHeard();
    notifier.reportOnAir(QStringLiteral("1. main"), QString(), Reason::CameBack);
    QCOMPARE(spy.count(), 0);
    // Turned on again, the next change is told at once.
    notifier.setEnabled(true);
    notifier.reportNothingHeard();
    QCOMPARE(spy.count(), 1);
}

QTEST_GUILESS_MAIN(TestVCFailoverNotifier)
#include "tst_vcfailovernotifier.moc"
