#pragma once

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>

// The demo service on a loopback port, run as a child process, and the requests the bench sends
// it: a login for the program's saved session, the stream switches and the status.
class BenchService
{
public:
    ~BenchService();

    bool start(const QString &program, int streams, QString *error);
    QString url() const { return m_url; }

    // Logs in as the demo account; the session id, or empty. The session id is a credential:
    // it goes into the program's settings and nowhere else.
    QString login();
    // Switches stream N ("normal", "stall", ...).
    bool switchStream(int stream, const QString &mode);
    // The latest report of the newest session, or an empty object.
    QJsonObject lastReport();

private:
    QByteArray request(const QString &path, const QByteArray &body, bool post);

    QProcess m_process;
    QNetworkAccessManager m_network;
    QString m_url;
};
