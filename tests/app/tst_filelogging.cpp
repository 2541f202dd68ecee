#include "filelogging.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

QDateTime fakeNow;
QDateTime fakeClock()
{
    return fakeNow;
}

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

void touch(const QString &name)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QByteArrayList fileLines(const QString &name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestFileLogging : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void lineFormat_data();
    void lineFormat();
    void fileName();
    void dayRollover();
    void cleanUp_data();
    void cleanUp();
    void concurrentWritersNeverInterleave();
    void emptyNameLogsToStderrAndKeepsFiles();

private:
    // Installs file logging under `name` and returns Qt Test's own handler to put back.
    void useFileLogging(const QString &name);

    QTemporaryDir m_dir;
    QString m_previousDir;
    QtMessageHandler m_testHandler = nullptr;
};

void TestFileLogging::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    setLogClock(fakeClock);
}

void TestFileLogging::init()
{
    fakeNow = at("08.12.2026 07:10:00");
    const QStringList files = QDir().entryList(QDir::Files);
    for (const QString &name : files)
        QFile::remove(name);
}

void TestFileLogging::cleanup()
{
    if (m_testHandler) {
        qInstallMessageHandler(m_testHandler);
        m_testHandler = nullptr;
    }
}

void TestFileLogging::cleanupTestCase()
{
    setLogClock(nullptr);
    QDir::setCurrent(m_previousDir);
}

void TestFileLogging::useFileLogging(const QString &name)
{
    // Read Qt Test's handler (installing the default one) so cleanup() can restore it.
    QtMessageHandler current = qInstallMessageHandler(nullptr);
    if (!m_testHandler)
        m_testHandler = current;
    installFileLogging(name);
}

void TestFileLogging::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("warning, no context")
        << int(QtWarningMsg) << QByteArray() << 0 << QStringLiteral("Vellacast 1.1.15 startup")
        << QByteArray("08.12.2026 07:10:00 (W): Vellacast 1.1.15 startup (|0)\n");
    QTest::newRow("debug with a path")
        << int(QtDebugMsg) << QByteArray("/src/app/vchub.cpp") << 42 << QStringLiteral("x")
        << QByteArray("08.12.2026 07:10:00 (D): x (vchub.cpp|42)\n");
    QTest::newRow("info, bare file name")
        << int(QtInfoMsg) << QByteArray("main.cpp") << 7 << QStringLiteral("y")
        << QByteArray("08.12.2026 07:10:00 (I): y (main.cpp|7)\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << 0 << QStringLiteral("c")
                              << QByteArray("08.12.2026 07:10:00 (C): c (|0)\n");
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << 0 << QStringLiteral("f")
                           << QByteArray("08.12.2026 07:10:00 (F): f (|0)\n");
    QTest::newRow("unknown type") << 77 << QByteArray() << 0 << QStringLiteral("u")
                                  << QByteArray("08.12.2026 07:10:00 (U): u (|0)\n");
    QTest::newRow("empty message") << int(QtWarningMsg) << QByteArray() << 0 << QString()
                                   << QByteArray("08.12.2026 07:10:00 (W):  (|0)\n");
    QTest::newRow("utf-8 text")
        << int(QtWarningMsg) << QByteArray() << 0 << QStringLiteral("Станция \"Волна\"")
        << QStringLiteral("08.12.2026 07:10:00 (W): Станция \"Волна\" (|0)\n").toUtf8();
}

void TestFileLogging::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QString, message);
    QFETCH(QByteArray, expected);

    const QMessageLogContext context(file.isEmpty() ? nullptr : file.constData(), line, nullptr,
                                     nullptr);
    QCOMPARE(formatLogLine(QtMsgType(type), context, message), expected);
}

void TestFileLogging::fileName()
{
    useFileLogging(QStringLiteral("vellacast"));
    QCOMPARE(logFileName(), QStringLiteral("vellacast_08.12.2026.log"));
    fakeNow = at("01.02.2027 00:00:00");
    QCOMPARE(logFileName(), QStringLiteral("vellacast_01.02.2027.log"));
    // Installing tried the file once, so it exists before any message.
    QVERIFY(QFile::exists(QStringLiteral("vellacast_08.12.2026.log")));
}

void TestFileLogging::dayRollover()
{
    fakeNow = at("08.12.2026 23:59:59");
    useFileLogging(QStringLiteral("vellacast"));
    qWarning() << "before"
               << "midnight";
    fakeNow = at("09.12.2026 00:00:00");
    qWarning() << "after"
               << "midnight";

    QCOMPARE(fileLines(QStringLiteral("vellacast_08.12.2026.log")),
             QByteArrayList{"08.12.2026 23:59:59 (W): before midnight (|0)"});
    QCOMPARE(fileLines(QStringLiteral("vellacast_09.12.2026.log")),
             QByteArrayList{"09.12.2026 00:00:00 (W): after midnight (|0)"});
    // Both files, the one made at installation and the one made for a line, are private.
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    for (const char *name : {"vellacast_08.12.2026.log", "vellacast_09.12.2026.log"})
        QCOMPARE(QFile::permissions(QString::fromLatin1(name)) & others, QFile::Permissions());
}

void TestFileLogging::cleanUp_data()
{
    QTest::addColumn<QString>("today");
    QTest::addColumn<int>("days");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("kept");

    const QStringList strangers{QStringLiteral("other_01.01.2020.log"),
                                QStringLiteral("notes.txt")};
    QTest::newRow("3 days removes the 5th")
        << QStringLiteral("08.12.2026") << 3
        << QStringList{QStringLiteral("vellacast_05.12.2026.log"),
                       QStringLiteral("vellacast_06.12.2026.log")}
        << QStringList{QStringLiteral("vellacast_06.12.2026.log")};
    QTest::newRow("4 days keeps the 5th")
        << QStringLiteral("08.12.2026") << 4
        << QStringList{QStringLiteral("vellacast_05.12.2026.log")}
        << QStringList{QStringLiteral("vellacast_05.12.2026.log")};
    QTest::newRow("30 days across a month")
        << QStringLiteral("30.12.2026") << 30
        << QStringList{QStringLiteral("vellacast_30.11.2026.log"),
                       QStringLiteral("vellacast_01.12.2026.log"),
                       QStringLiteral("vellacast_31.12.2025.log")}
        << QStringList{QStringLiteral("vellacast_01.12.2026.log")};
    QTest::newRow("0 days removes today")
        << QStringLiteral("08.12.2026") << 0
        << QStringList{QStringLiteral("vellacast_08.12.2026.log")} << QStringList{};
    QTest::newRow("undated names go, strangers stay")
        << QStringLiteral("08.12.2026") << 30
        << (QStringList{QStringLiteral("vellacast.log"), QStringLiteral("vellacast_old.log"),
                        QStringLiteral("vellacast_31.02.2026.log")} +
            strangers)
        << strangers;
}

void TestFileLogging::cleanUp()
{
    QFETCH(QString, today);
    QFETCH(int, days);
    QFETCH(QStringList, files);
    QFETCH(QStringList, kept);

    fakeNow = QDateTime(QDate::fromString(today, QStringLiteral("dd.MM.yyyy")), QTime(12, 0));
    useFileLogging(QStringLiteral("vellacast"));
    // The install probe created today's file; start from exactly the listed files.
    QFile::remove(logFileName());
    for (const QString &name : files)
        touch(name);

    // The clean-up's own debug lines (re)create today's file: compare the others, and tell what
    // happened to today's file by its lines.
    removeOldLogFiles(days);
    QStringList present = QDir().entryList(QDir::Files, QDir::Name);
    present.removeAll(logFileName());
    kept.sort();
    QCOMPARE(present, kept);

    const QByteArrayList lines = fileLines(logFileName());
    for (const QString &name : files) {
        const bool removed = !kept.contains(name);
        const QByteArray expected = "(D): Old log file \"" + name.toUtf8() + "\" was removed (|0)";
        const bool logged = std::any_of(lines.cbegin(), lines.cend(),
                                        [&](const QByteArray &l) { return l.endsWith(expected); });
        QCOMPARE(logged, removed);
    }
}

void TestFileLogging::concurrentWritersNeverInterleave()
{
    useFileLogging(QStringLiteral("vellacast"));
    constexpr int threadCount = 8;
    constexpr int perThread = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t] {
            const QString padding(200, QLatin1Char('x'));
            for (int i = 0; i < perThread; ++i)
                qWarning("thread %d message %d %s", t, i, qPrintable(padding));
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    const QByteArrayList lines = fileLines(logFileName());
    QCOMPARE(lines.size(), threadCount * perThread);
    const QRegularExpression pattern(QStringLiteral(
        "^08\\.12\\.2026 07:10:00 \\(W\\): thread \\d message \\d+ x{200} \\(\\|0\\)$"));
    for (const QByteArray &line : lines)
        QVERIFY2(pattern.match(QString::fromUtf8(line)).hasMatch(), line.constData());
}

void TestFileLogging::emptyNameLogsToStderrAndKeepsFiles()
{
    useFileLogging(QString());
    touch(QStringLiteral("vellacast_01.01.2020.log"));
    removeOldLogFiles(0);
    qWarning() << "to the console";
    QVERIFY(QFile::exists(QStringLiteral("vellacast_01.01.2020.log")));
    QCOMPARE(QDir().entryList(QDir::Files).size(), 1);
}

QTEST_GUILESS_MAIN(TestFileLogging)
#include "tst_filelogging.moc"
