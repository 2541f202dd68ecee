#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

#include <utility>

// One answer of the demo service: status, content type, body and any further header lines.
struct VCDevHttpResponse
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    // The status line and header lines up to the blank line, with Content-Length of the body.
    QByteArray head(bool keepAlive) const;

    static VCDevHttpResponse text(int status, const QByteArray &text);
    static VCDevHttpResponse json(const QJsonObject &object, int status = 200);
    // A status with its reason phrase as the text.
    static VCDevHttpResponse plain(int status);
    // 401 asking for the credentials of the stream addresses.
    static VCDevHttpResponse unauthorized();
    // 405 naming the methods that are allowed.
    static VCDevHttpResponse methodNotAllowed(const QByteArray &allowed);
    static const char *reasonPhrase(int status);
};
