#include "vcfailbackhold.h"

#include <QTest>

// The hold rule on made-up times, with the program's timing: a first hold of 30 s, doubling up
// to 5 min, starting again after 10 min without a loss.
class TestFailbackHold : public QObject
{
    Q_OBJECT

private slots:
    void hold_data();
    void hold();
};

void TestFailbackHold::hold_data()
{
    // Events, in time order: "L<ms>" a loss that counts, "D<ms>" any other disconnection,
    // "C<ms>" connected again, "O<ms>" holding turned off, "N<ms>" turned on again. Then the
    // state at `atMs`.
    QTest::addColumn<QString>("events");
    QTest::addColumn<qint64>("atMs");
    QTest::addColumn<bool>("heldBack");
    QTest::addColumn<qint64>("remainingMs");

    QTest::newRow("first hold, 1 ms before its end") << "L0 C2000" << 31999LL << true << 1LL;
    QTest::newRow("first hold served") << "L0 C2000" << 32000LL << false << 0LL;
    QTest::newRow("disconnected: the whole hold left") << "L0" << 50000LL << true << 30000LL;
    QTest::newRow("a break starts the count again")
        << "L0 C2000 D20000 C25000" << 54999LL << true << 1LL;
    QTest::newRow("a second loss within 10 min doubles")
        << "L0 C1000 L10000 C11000" << 70999LL << true << 1LL;
    QTest::newRow("a loss while held back doubles too")
        << "L0 C1000 L5000 C6000" << 6000LL << true << 60000LL;
    QTest::newRow("doubling stops at 5 min")
        << "L0 L1000 L2000 L3000 L4000 L5000 C6000" << 305999LL << true << 1LL;
    QTest::newRow("5 min served") << "L0 L1000 L2000 L3000 L4000 L5000 C6000" << 306000LL << false
                                  << 0LL;
    QTest::newRow("10 min without a loss: 30 s again")
        << "L0 C1000 L600000 C600000" << 629999LL << true << 1LL;
    QTest::newRow("1 ms short of 10 min: doubled")
        << "L0 C1000 L599999 C599999" << 630000LL << true << 29999LL;
    QTest::newRow("10 min count from the last loss, not the first")
        << "L0 C1000 L500000 C500000 L1000000 C1000000" << 1119999LL << true << 1LL;
    QTest::newRow("a served hold does not come back with a drop")
        << "L0 C1000 D40000 C41000" << 41000LL << false << 0LL;
    QTest::newRow("a drop that does not count holds nothing")
        << "D0 C1000" << 1000LL << false << 0LL;
    QTest::newRow("off: no hold") << "O0 L1000 C2000" << 2000LL << false << 0LL;
    QTest::newRow("turned off while held: free at once")
        << "L0 C1000 O2000" << 2000LL << false << 0LL;
    QTest::newRow("off and on again: past losses are forgotten")
        << "L0 C1000 O2000 N2000 L3000 C3000" << 32999LL << true << 1LL;
}

void TestFailbackHold::hold()
{
    QFETCH(QString, events);
    QFETCH(qint64, atMs);
    QFETCH(bool, heldBack);
    QFETCH(qint64, remainingMs);

    VCFailbackHold rule;
    for (const QString &event : events.split(QLatin1Char(' '))) {
        const qint64 ms = event.mid(1).toLongLong();
        switch (event.at(0).toLatin1()) {
        case 'L':
            rule.loseConnection(ms);
            break;
        case 'D':
            rule.disconnect(ms);
            break;
        case 'C':
            rule.connect(ms);
            break;
        case 'O':
        case 'N': {
            VCFailbackHold::Timing timing = rule.timing();
            timing.firstHoldMs = event.at(0) == QLatin1Char('O') ? 0 : 30000;
            rule.setTiming(timing);
            break;
        }
        default:
            QFAIL(qPrintable(QStringLiteral("unknown event ") + event));
        }
    }
    QCOMPARE(rule.isHeldBack(atMs), heldBack);
    QCOMPARE(rule.remainingMs(atMs), remainingMs);
}

QTEST_APPLESS_MAIN(TestFailbackHold)
#include "tst_vcfailbackhold.moc"
