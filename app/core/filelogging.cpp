#include "filelogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

QString logName;
std::atomic<LogClock> logClock{nullptr};
// Serialises writers so that lines of concurrent messages never interleave.
std::mutex writeMutex;

// Log lines name sources and addresses: the files are the owner's alone, like the settings.
constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions othersAny = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

bool openForAppend(QFile &file)
{
    return file.open(QIODevice::WriteOnly | QIODevice::Append, ownerOnly);
}

QDateTime now()
{
    const LogClock clock = logClock.load(std::memory_order_acquire);
    return clock ? clock() : QDateTime::currentDateTime();
}

QString fileNameFor(const QDate &date)
{
    return logName + QLatin1Char('_') + date.toString(QStringLiteral("dd.MM.yyyy")) +
           QStringLiteral(".log");
}

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "(D)";
    case QtInfoMsg:
        return "(I)";
    case QtWarningMsg:
        return "(W)";
    case QtCriticalMsg:
        return "(C)";
    case QtFatalMsg:
        return "(F)";
    }
    return "(U)";
}

} // namespace

void setLogClock(LogClock clock)
{
    logClock.store(clock, std::memory_order_release);
}

QString logFileName()
{
    return fileNameFor(now().date());
}

QByteArray formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QString file;
    if (context.file) {
        file = QString::fromUtf8(context.file);
        file = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
    }
    return QStringLiteral("%1 %2: %3 (%4|%5)\n")
        .arg(now().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")), QLatin1String(levelWord(type)),
             message, file, QString::number(context.line))
        .toUtf8();
}

void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = formatLogLine(type, context, message);
    {
        std::lock_guard lock(writeMutex);
        // The file is opened for every line, so the first message after midnight starts a new
        // day's file. A line that cannot be written is lost; logging never stops the program.
        QFile file(logFileName());
        if (openForAppend(file))
            file.write(line);
    }
    if (type == QtFatalMsg)
        std::abort();
}

void consoleMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
{
    const QByteArray line = formatLogLine(type, context, message);
    {
        std::lock_guard lock(writeMutex);
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
    if (type == QtFatalMsg)
        std::abort();
}

void installFileLogging(const QString &name)
{
    logName = name;
    if (logName.isEmpty()) {
        qInstallMessageHandler(consoleMessageHandler);
        return;
    }
    QFile probe(logFileName());
    if (!openForAppend(probe))
        qFatal("Can not open log file: %s", qPrintable(logName));
    probe.close();
    // A file of an earlier version may have been created readable by others.
    if (probe.permissions() & othersAny)
        probe.setPermissions(ownerOnly);
    qInstallMessageHandler(fileMessageHandler);
}

void removeOldLogFiles(int days)
{
    if (logName.isEmpty())
        return;
    const QDate cutOff = now().date().addDays(-days);
    const QStringList names = QDir().entryList({logName + QStringLiteral("*.log")},
                                               QDir::Files | QDir::CaseSensitive, QDir::Unsorted);
    for (const QString &name : names) {
        QString rest = name;
        rest.remove(logName + QLatin1Char('_'), Qt::CaseSensitive);
        rest.remove(QStringLiteral(".log"), Qt::CaseSensitive);
        const QDate date = QDate::fromString(rest, QStringLiteral("dd.MM.yyyy"));
        // A name whose date does not parse is not later than the cut-off either.
        if (date.isValid() && date > cutOff)
            continue;
        if (QFile::remove(name))
            qDebug() << "Old log file" << name << "was removed";
    }
}
