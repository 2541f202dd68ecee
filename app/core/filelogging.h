#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// Daily log files in the working directory: "<name>_dd.MM.yyyy.log", one line per message.

// Sets the log name and installs the matching message handler. An empty name logs to stderr.
void installFileLogging(const QString &name);

// Today's log file name, for example "vellacast_08.12.2026.log".
QString logFileName();

// One log line: "dd.MM.yyyy hh:mm:ss (W): text (file|line)\n", UTF-8.
QByteArray formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

void fileMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
void consoleMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message);

// Deletes this log's files dated `days` or more days before today, and files whose date does not
// parse.
void removeOldLogFiles(int days);

// The clock used for line stamps, file names and clean-up. Null restores the real local clock.
// Tests set it before logging from several threads and reset it afterwards.
using LogClock = QDateTime (*)();
void setLogClock(LogClock clock);
