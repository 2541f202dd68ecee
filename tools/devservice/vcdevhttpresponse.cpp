#include "vcdevhttpresponse.h"

#include <QJsonDocument>

QByteArray VCDevHttpResponse::head(bool keepAlive) const
{
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
        "\r\nContent-Type: " + contentType +
        "\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\nCache-Control: no-store\r\nConnection: " + (keepAlive ? "keep-alive" : "close") +
        "\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    return head;
}

VCDevHttpResponse VCDevHttpResponse::text(int status, const QByteArray &text)
{
    return {status, "text/plain; charset=utf-8", text + '\n', {}};
}

VCDevHttpResponse VCDevHttpResponse::json(const QJsonObject &object, int status)
{
    return {status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
}

VCDevHttpResponse VCDevHttpResponse::plain(int status)
{
    return text(status, reasonPhrase(status));
}

VCDevHttpResponse VCDevHttpResponse::unauthorized()
{
    VCDevHttpResponse response = plain(401);
    response.headers.append(std::make_pair(QByteArray("WWW-Authenticate"),
                                           QByteArray("Basic realm=\"Vellacast demo streams\"")));
    return response;
}

VCDevHttpResponse VCDevHttpResponse::methodNotAllowed(const QByteArray &allowed)
{
    VCDevHttpResponse response = plain(405);
    response.headers.append(std::make_pair(QByteArray("Allow"), allowed));
    return response;
}

const char *VCDevHttpResponse::reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    }
    return "Unknown";
}
