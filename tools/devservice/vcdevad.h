#pragma once

#include "vcdevhttpresponse.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

// The demo audio ad under /ad/: a DAAST document naming a generated jingle, a banner with its
// click-through address, and tracking addresses whose calls it counts; the same ad behind a
// chain of two VAST wrappers at /ad/vast.xml, each with tracking addresses of its own. Switched
// to "nobanner", the document answers that there is no ad.
class VCDevAd
{
public:
    // Makes the jingle; false with the reason in *error.
    bool build(const QByteArray &banner, QString *error);

    bool isNoBanner() const { return m_noBanner; }
    void setNoBanner(bool noBanner) { m_noBanner = noBanner; }
    // Calls of the tracking addresses by event ("progress" counts every second's event).
    QMap<QString, int> tracking() const { return m_tracking; }

    // The answer for name, the path after /ad/, with the addresses under baseUrl; false when
    // the name is none of the ad's.
    bool respond(const QString &name, const QString &baseUrl, VCDevHttpResponse *response);
    // The document's address, the switch and the tracking counts, for the status page.
    QJsonObject status(const QString &baseUrl) const;

private:
    QByteArray document(const QString &baseUrl) const;
    // Wrapper n (1 or 2) of the chain /ad/vast.xml -> /ad/wrapper-2.xml -> /ad/daast.xml.
    static QByteArray wrapperDocument(const QString &baseUrl, int n);
    bool track(const QString &event, VCDevHttpResponse *response);

    QByteArray m_jingle;
    QByteArray m_banner;
    bool m_noBanner = false;
    QMap<QString, int> m_tracking;
};
