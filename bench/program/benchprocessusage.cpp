#include "benchprocessusage.h"

#include <QFile>

#include <unistd.h>

BenchProcessUsage::BenchProcessUsage(pid_t pid)
    : m_pid(pid)
{}

double BenchProcessUsage::cpuSeconds() const
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(m_pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The command name may hold blanks; the fields after it start with the state (field 3), so
    // user time (field 14) and system time (field 15) are the 12th and 13th after it.
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(nameEnd + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double BenchProcessUsage::rssMiB() const
{
    return double(statusValue("VmRSS:")) / 1024.0;
}

int BenchProcessUsage::threads() const
{
    return int(statusValue("Threads:"));
}

long BenchProcessUsage::statusValue(const char *key) const
{
    QFile file(QStringLiteral("/proc/%1/status").arg(m_pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // Files under /proc have no size, so they are read whole rather than line by line.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key))
            return line.mid(qsizetype(qstrlen(key))).trimmed().split(' ').first().toLong();
    }
    return -1;
}
