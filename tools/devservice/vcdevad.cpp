#include "vcdevad.h"

#include "vcdemoaudio.h"

#include <QStringList>

bool VCDevAd::build(const QByteArray &banner, QString *error)
{
    m_banner = banner;
    // The jingle: two bars of music at a brisk tempo, a few seconds long.
    VCDemoAudio jingle;
    if (!jingle.build({64, 2, 150, 11, 128000, 0}, error))
        return false;
    m_jingle = jingle.musicFrames().join();
    return true;
}

QByteArray VCDevAd::document(const QString &baseUrl) const
{
    QByteArray document = R"(<?xml version="1.0" encoding="UTF-8"?>
<DAAST version="1.0">
  <Ad id="demo-jingle">
    <InLine>
      <AdSystem>Vellacast development service</AdSystem>
      <AdTitle>Demo jingle: a word from our sponsor</AdTitle>
      <Impression>BASE/ad/track/impression</Impression>
      <Error>BASE/ad/track/error</Error>
      <Creatives>
        <Creative>
          <Linear>
            <Duration>DURATION</Duration>
            <MediaFiles>
              <MediaFile delivery="progressive" type="audio/mpeg">BASE/ad/jingle.mp3</MediaFile>
            </MediaFiles>
            <TrackingEvents>
              <Tracking event="start">BASE/ad/track/start</Tracking>
              <Tracking event="firstQuartile">BASE/ad/track/firstQuartile</Tracking>
              <Tracking event="midpoint">BASE/ad/track/midpoint</Tracking>
              <Tracking event="thirdQuartile">BASE/ad/track/thirdQuartile</Tracking>
              <Tracking event="complete">BASE/ad/track/complete</Tracking>
              PROGRESS
            </TrackingEvents>
          </Linear>
        </Creative>
        <Creative>
          <CompanionAds>
            <Companion width="128" height="128">
              <StaticResource creativeType="image/png">BASE/ad/banner.png</StaticResource>
              <CompanionClickThrough>BASE/ad/click</CompanionClickThrough>
              <CompanionClickTracking>BASE/ad/track/click</CompanionClickTracking>
              <TrackingEvents>
                <Tracking event="start">BASE/ad/track/creativeView</Tracking>
              </TrackingEvents>
            </Companion>
          </CompanionAds>
        </Creative>
      </Creatives>
    </InLine>
  </Ad>
</DAAST>
)";
    const qint64 seconds = qint64(m_jingle.size()) * 8 / 128000;
    QByteArray progress;
    for (qint64 n = 0; n <= seconds; ++n)
        progress += "<Tracking event=\"progress" + QByteArray::number(n) +
                    "\">BASE/ad/track/progress" + QByteArray::number(n) + "</Tracking>";
    document.replace("PROGRESS", progress);
    document.replace("DURATION",
                     QStringLiteral("00:00:%1").arg(seconds, 2, 10, QLatin1Char('0')).toLatin1());
    document.replace("BASE", baseUrl.toUtf8());
    return document;
}

QByteArray VCDevAd::wrapperDocument(const QString &baseUrl, int n)
{
    QByteArray document = R"(<?xml version="1.0" encoding="UTF-8"?>
<VAST version="VERSION">
  <Ad id="demo-wrapperN">
    <Wrapper>
      <AdSystem>Vellacast demo network</AdSystem>
      <VASTAdTagURI><![CDATA[NEXT]]></VASTAdTagURI>
      <Impression>BASE/ad/track/wrapperN-impression</Impression>
      <Error>BASE/ad/track/wrapperN-error</Error>
      <Creatives>
        <Creative>
          <Linear>
            <TrackingEvents>
              <Tracking event="start">BASE/ad/track/wrapperN-start</Tracking>
            </TrackingEvents>
          </Linear>
        </Creative>
      </Creatives>
    </Wrapper>
  </Ad>
</VAST>
)";
    document.replace("VERSION", n == 1 ? "3.0" : "4.0");
    document.replace("wrapperN", "wrapper" + QByteArray::number(n));
    // A relative address first, then a whole one.
    document.replace("NEXT", n == 1 ? "wrapper-2.xml" : "BASE/ad/daast.xml");
    document.replace("BASE", baseUrl.toUtf8());
    return document;
}

bool VCDevAd::respond(const QString &name, const QString &baseUrl, VCDevHttpResponse *response)
{
    if (name == QLatin1String("vast.xml") || name == QLatin1String("wrapper-2.xml")) {
        *response = {200,
                     "application/xml",
                     wrapperDocument(baseUrl, name == QLatin1String("vast.xml") ? 1 : 2),
                     {}};
        return true;
    }
    if (name == QLatin1String("daast.xml")) {
        *response = m_noBanner ? VCDevHttpResponse{200, "application/xml", "<nobanner/>\n", {}}
                               : VCDevHttpResponse{200, "application/xml", document(baseUrl), {}};
        return true;
    }
    if (name == QLatin1String("jingle.mp3")) {
        *response = {200, "audio/mpeg", m_jingle, {}};
        return true;
    }
    if (name == QLatin1String("banner.png")) {
        *response = {200, "image/png", m_banner, {}};
        return true;
    }
    if (name == QLatin1String("click")) {
        *response = VCDevHttpResponse::text(200, "Thank you for your interest in our sponsor.");
        return true;
    }
    static const QString trackPrefix = QStringLiteral("track/");
    if (name.startsWith(trackPrefix))
        return track(name.mid(trackPrefix.size()), response);
    return false;
}

bool VCDevAd::track(const QString &event, VCDevHttpResponse *response)
{
    static const QStringList events = {QStringLiteral("impression"),
                                       QStringLiteral("error"),
                                       QStringLiteral("start"),
                                       QStringLiteral("firstQuartile"),
                                       QStringLiteral("midpoint"),
                                       QStringLiteral("thirdQuartile"),
                                       QStringLiteral("complete"),
                                       QStringLiteral("click"),
                                       QStringLiteral("creativeView"),
                                       QStringLiteral("wrapper1-impression"),
                                       QStringLiteral("wrapper1-error"),
                                       QStringLiteral("wrapper1-start"),
                                       QStringLiteral("wrapper2-impression"),
                                       QStringLiteral("wrapper2-error"),
                                       QStringLiteral("wrapper2-start")};
    QString counted = event;
    if (event.startsWith(QLatin1String("progress")))
        counted = QStringLiteral("progress");
    else if (!events.contains(event))
        return false;
    ++m_tracking[counted];
    *response = {204, "text/plain", {}, {}};
    return true;
}

QJsonObject VCDevAd::status(const QString &baseUrl) const
{
    QJsonObject tracking;
    for (auto it = m_tracking.cbegin(); it != m_tracking.cend(); ++it)
        tracking.insert(it.key(), it.value());
    return {{QStringLiteral("document"), baseUrl + QStringLiteral("/ad/daast.xml")},
            {QStringLiteral("wrapper"), baseUrl + QStringLiteral("/ad/vast.xml")},
            {QStringLiteral("nobanner"), m_noBanner},
            {QStringLiteral("tracking"), tracking}};
}
