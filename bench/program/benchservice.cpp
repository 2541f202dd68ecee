#include "benchservice.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>

namespace {

constexpr int RequestTimeoutMs = 5000;

} // namespace

BenchService::~BenchService()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000))
        m_process.kill();
    m_process.waitForFinished(1000);
}

bool BenchService::start(const QString &program, int streams, QString *error)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, {QStringLiteral("--port"), QStringLiteral("0"),
                              QStringLiteral("--streams"), QString::number(streams)});
    static const QRegularExpression listening(QStringLiteral("listening on (http\\S+)"));
    QByteArray output;
    // It makes its music before it listens, which takes seconds on a loaded machine.
    const QDeadlineTimer deadline(30000);
    while (m_url.isEmpty() && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        m_process.waitForReadyRead(200);
        output += m_process.readAll();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch())
            m_url = match.captured(1);
    }
    if (m_url.isEmpty())
        *error = QStringLiteral("the demo service did not start: ") + QString::fromUtf8(output);
    return !m_url.isEmpty();
}

QString BenchService::login()
{
    const QJsonObject body{{QStringLiteral("user"), QStringLiteral("demo")},
                           {QStringLiteral("pass"), QStringLiteral("demo")}};
    const QByteArray answer = request(QStringLiteral("/api/player/state"),
                                      QJsonDocument(body).toJson(QJsonDocument::Compact), true);
    return QJsonDocument::fromJson(answer).object().value(QStringLiteral("sid")).toString();
}

bool BenchService::switchStream(int stream, const QString &mode)
{
    return !request(QStringLiteral("/control/stream/%1/%2").arg(stream).arg(mode), {}, true)
                .isNull();
}

QJsonObject BenchService::lastReport()
{
    const QJsonArray sessions =
        QJsonDocument::fromJson(request(QStringLiteral("/status.json"), {}, false))
            .object()
            .value(QStringLiteral("sessions"))
            .toArray();
    return sessions.isEmpty()
               ? QJsonObject()
               : sessions.last().toObject().value(QStringLiteral("lastReport")).toObject();
}

QByteArray BenchService::request(const QString &path, const QByteArray &body, bool post)
{
    QNetworkRequest request(QUrl(m_url + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(RequestTimeoutMs);
    QNetworkReply *reply = post ? m_network.post(request, body) : m_network.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return {};
    // An empty answer is still an answer.
    QByteArray answer = reply->readAll();
    if (answer.isNull())
        answer = QByteArray("");
    return answer;
}
