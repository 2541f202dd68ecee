#include "testsoundserver.h"

#include <QProcess>

TestSoundServer::TestSoundServer(const QString &directory)
    : m_directory(directory)
{}

TestSoundServer::~TestSoundServer()
{
    stop();
}

bool TestSoundServer::start(QString *error)
{
    QProcess script;
    script.start(QStringLiteral(VC_PULSE_DAEMON_SCRIPT), {QStringLiteral("start"), m_directory});
    script.waitForFinished(20000);
    // A server that started half way is stopped all the same.
    m_tried = true;
    const QString address = QString::fromLocal8Bit(script.readAllStandardOutput()).trimmed();
    if (script.exitCode() != 0 || address.isEmpty()) {
        *error = QStringLiteral("the sound server could not start: ") +
                 QString::fromLocal8Bit(script.readAllStandardError());
        return false;
    }
    m_address = address;
    qputenv("PULSE_SERVER", m_address.toLocal8Bit());
    return true;
}

void TestSoundServer::stop()
{
    if (!m_tried)
        return;
    m_tried = false;
    m_address.clear();
    QProcess::execute(QStringLiteral(VC_PULSE_DAEMON_SCRIPT),
                      {QStringLiteral("stop"), m_directory});
}
