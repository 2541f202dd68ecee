#include "vcautostart.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestVCAutostart : public QObject
{
    Q_OBJECT

private slots:
    void writesAValidEntry_data();
    void writesAValidEntry();
    void followsTheFile();
    void unwritableFolderLeavesItOff();
};

void TestVCAutostart::writesAValidEntry_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("plain") << QStringLiteral("station") << QByteArray("Path=%1/station");
    // In Exec quotes, dollars and backslashes are escaped inside the quotes, then backslashes
    // again as in any string value (Path).
    QTest::newRow("special") << QStringLiteral("a \"b\" $c\\d")
                             << QByteArray("Path=%1/a \"b\" $c\\\\d");
}

void TestVCAutostart::writesAValidEntry()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, path);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workdir = dir.filePath(folder);
    QVERIFY(QDir().mkpath(workdir));
    // The program lives in a folder with the same special characters.
    const QString program = workdir + QStringLiteral("/bin/vellacast");

    VCAutostart autostart(workdir, program, dir.filePath(QStringLiteral("config")));
    QVERIFY(!autostart.isEnabled());
    QVERIFY(autostart.setIsEnabled(true));
    QVERIFY(autostart.isEnabled());
    QCOMPARE(QFileInfo(autostart.entryFilePath()).absolutePath(),
             dir.filePath(QStringLiteral("config/autostart")));

    QFile file(autostart.entryFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArrayList lines = file.readAll().split('\n');
    QByteArray quotedFolder = folder.toUtf8();
    quotedFolder.replace('\\', "\\\\\\\\").replace('"', "\\\\\"").replace('$', "\\\\$");
    const QByteArray execLine = QByteArray("Exec=\"") + dir.path().toUtf8() + '/' + quotedFolder +
                                QByteArray("/bin/vellacast\" --minimized");
    QVERIFY2(lines.contains(execLine), file.fileName().toUtf8() + ": no " + execLine);
    QVERIFY(lines.contains(QString::fromUtf8(path).arg(dir.path()).toUtf8()));

    // The desktop's own validator agrees.
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (!validator.isEmpty()) {
        QProcess process;
        process.start(validator, {autostart.entryFilePath()});
        QVERIFY(process.waitForFinished());
        QVERIFY2(process.exitCode() == 0, process.readAllStandardOutput());
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
    }
}

void TestVCAutostart::followsTheFile()
{
    QTemporaryDir dir;
    VCAutostart autostart(dir.path(), QStringLiteral("/usr/bin/vellacast"),
                          dir.filePath(QStringLiteral("config")));
    // Another station's entry (another working directory) is a file of its own.
    VCAutostart other(dir.filePath(QStringLiteral("other")), QStringLiteral("/usr/bin/vellacast"),
                      dir.filePath(QStringLiteral("config")));
    QVERIFY(autostart.entryFilePath() != other.entryFilePath());
    QVERIFY(other.setIsEnabled(true));

    QSignalSpy changes(&autostart, &VCAutostart::isEnabledChanged);
    QVERIFY(autostart.setIsEnabled(true));
    QVERIFY(!autostart.setIsEnabled(true));
    QVERIFY(autostart.setIsEnabled(false));
    QVERIFY(!QFile::exists(autostart.entryFilePath()));
    QVERIFY(QFile::exists(other.entryFilePath()));
    QCOMPARE(changes.count(), 2);

    // Made or removed by other means, the entry shows as it is once the view reads it again.
    QFile file(autostart.entryFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    autostart.refresh();
    QVERIFY(autostart.isEnabled());
    QVERIFY(QFile::remove(autostart.entryFilePath()));
    autostart.refresh();
    QVERIFY(!autostart.isEnabled());
    QCOMPARE(changes.count(), 4);
}

void TestVCAutostart::unwritableFolderLeavesItOff()
{
    QTemporaryDir dir;
    // A file where the autostart folder should be.
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("config"))));
    QFile blocker(dir.filePath(QStringLiteral("config/autostart")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    VCAutostart autostart(dir.path(), QStringLiteral("/usr/bin/vellacast"),
                          dir.filePath(QStringLiteral("config")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Can not write the autostart entry"));
    QVERIFY(!autostart.setIsEnabled(true));
    QVERIFY(!autostart.isEnabled());
}

QTEST_GUILESS_MAIN(TestVCAutostart)
#include "tst_vcautostart.moc"
