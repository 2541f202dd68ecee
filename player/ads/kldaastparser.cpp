#include "kldaastparser.h"

#include "kllogging.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QXmlStreamReader>

namespace {

// The error of a document type declaration ahead of the root element, or an empty text. The
// DOM reader would expand the entities such a declaration defines; an ad document needs none.
QString declarationError(const QByteArray &data)
{
    QXmlStreamReader reader(data);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            return QStringLiteral("document type declarations are not accepted");
        case QXmlStreamReader::StartElement:
        case QXmlStreamReader::Invalid:
            return {};
        default:
            break;
        }
    }
    return {};
}

} // namespace

KLDaastParser::KLDaastParser() = default;
KLDaastParser::KLDaastParser(const KLDaastParser &other) = default;
KLDaastParser::KLDaastParser(KLDaastParser &&other) noexcept = default;
KLDaastParser &KLDaastParser::operator=(const KLDaastParser &other) = default;
KLDaastParser &KLDaastParser::operator=(KLDaastParser &&other) noexcept = default;
KLDaastParser::~KLDaastParser() = default;

void KLDaastParser::clear()
{
    *this = KLDaastParser();
}

bool KLDaastParser::parse(const QByteArray &data)
{
    clear();
    if (data.size() > maxDocumentSize) {
        qCDebug(klLog) << "Daast parser: xml parsing error"
                       << QStringLiteral("document of %1 bytes is too large").arg(data.size());
        return false;
    }
    QString error = declarationError(data);
    QDomDocument document;
    if (error.isEmpty() && !document.setContent(data, false, &error))
        error = error.isEmpty() ? QStringLiteral("unreadable document") : error;
    if (!error.isEmpty()) {
        qCDebug(klLog) << "Daast parser: xml parsing error" << error;
        return false;
    }
    if (!processRootElement(document.documentElement())) {
        clear();
        return false;
    }
    return true;
}

bool KLDaastParser::processRootElement(const QDomElement &root)
{
    const QString rootTag = root.tagName();
    if (rootTag == QLatin1String("nobanner")) {
        noBanner = true;
        return true;
    }
    if (rootTag != QLatin1String("DAAST") && rootTag != QLatin1String("VAST")) {
        qCDebug(klLog) << "Daast parser: expected DAAST or VAST root tag";
        return false;
    }
    const bool vast = rootTag == QLatin1String("VAST");
    const QDomElement ad = root.firstChildElement(QStringLiteral("Ad"));
    if (ad.isNull()) {
        qCDebug(klLog) << "Daast parser: Ad element was not found";
        return false;
    }
    adId = ad.attribute(QStringLiteral("id")).simplified();
    const QDomElement wrapper = ad.firstChildElement(QStringLiteral("Wrapper"));
    if (!wrapper.isNull())
        return processWrapperElement(wrapper);
    const QDomElement inLine = ad.firstChildElement(QStringLiteral("InLine"));
    if (inLine.isNull()) {
        qCDebug(klLog) << "Daast parser: InLine element was not found";
        return false;
    }
    // A VAST ad may leave out its error address.
    if (!readChildText(inLine, QStringLiteral("AdSystem"), adSystem) ||
        !readChildText(inLine, QStringLiteral("AdTitle"), adTitle) ||
        !readChildText(inLine, QStringLiteral("Impression"), impressionUrl) ||
        (!vast && !readChildText(inLine, QStringLiteral("Error"), errorUrl)))
        return false;
    if (vast)
        errorUrl = inLine.firstChildElement(QStringLiteral("Error")).text().simplified();
    const QDomElement creatives = inLine.firstChildElement(QStringLiteral("Creatives"));
    if (creatives.isNull()) {
        qCDebug(klLog) << "Daast parser: Creatives element was not found";
        return false;
    }

    bool hasLinear = false;
    bool hasCompanion = false;
    const QDomNodeList creativeNodes = creatives.elementsByTagName(QStringLiteral("Creative"));
    for (int i = 0; i < creativeNodes.size(); ++i) {
        const QDomNode node = creativeNodes.at(i);
        if (!node.isElement()) {
            qCDebug(klLog) << "Daast parser: Creative element was expected";
            continue;
        }
        // VAST 4 puts other elements (UniversalAdId, ...) ahead of the creative itself.
        const QDomElement linear = node.firstChildElement(QStringLiteral("Linear"));
        const QDomElement companionAds = node.firstChildElement(QStringLiteral("CompanionAds"));
        if (!hasLinear && !linear.isNull())
            hasLinear = processLinearElement(linear);
        if (!hasCompanion && !companionAds.isNull())
            hasCompanion = processCompanionAdsElement(companionAds);
    }
    if (!hasLinear) {
        qCDebug(klLog) << "Daast parser: Linear creative element was not found";
        return false;
    }
    if (!hasCompanion && !vast) {
        qCDebug(klLog) << "Daast parser: CompanionAds creative element was not found";
        return false;
    }
    readAllAddresses(inLine);
    return true;
}

bool KLDaastParser::processWrapperElement(const QDomElement &wrapper)
{
    QString next = wrapper.firstChildElement(QStringLiteral("VASTAdTagURI")).text().simplified();
    if (next.isEmpty())
        next = wrapper.firstChildElement(QStringLiteral("DAASTAdTagURI")).text().simplified();
    if (next.isEmpty()) {
        qCDebug(klLog) << "Daast parser: Wrapper without VASTAdTagURI";
        return false;
    }
    isWrapper = true;
    wrapperAdTagUrl = next;
    adSystem = wrapper.firstChildElement(QStringLiteral("AdSystem")).text().simplified();
    impressionUrl = wrapper.firstChildElement(QStringLiteral("Impression")).text().simplified();
    errorUrl = wrapper.firstChildElement(QStringLiteral("Error")).text().simplified();
    readAllAddresses(wrapper);
    return true;
}

void KLDaastParser::readAllAddresses(const QDomElement &ad)
{
    const auto texts = [&ad](const QString &tag) {
        QStringList urls;
        for (QDomElement e = ad.firstChildElement(tag); !e.isNull();
             e = e.nextSiblingElement(tag)) {
            const QString url = e.text().simplified();
            if (!url.isEmpty())
                urls << url;
        }
        return urls;
    };
    impressionUrls = texts(QStringLiteral("Impression"));
    errorUrls = texts(QStringLiteral("Error"));
    const QDomElement creatives = ad.firstChildElement(QStringLiteral("Creatives"));
    for (QDomElement creative = creatives.firstChildElement(QStringLiteral("Creative"));
         !creative.isNull(); creative = creative.nextSiblingElement(QStringLiteral("Creative"))) {
        const QDomElement events = creative.firstChildElement(QStringLiteral("Linear"))
                                       .firstChildElement(QStringLiteral("TrackingEvents"));
        for (QDomElement tracking = events.firstChildElement(QStringLiteral("Tracking"));
             !tracking.isNull();
             tracking = tracking.nextSiblingElement(QStringLiteral("Tracking"))) {
            const QString event = tracking.attribute(QStringLiteral("event")).simplified();
            const QString url = tracking.text().simplified();
            if (!event.isEmpty() && !url.isEmpty())
                trackingEvents.append({event, url});
        }
    }
}

void KLDaastParser::prependWrapper(const KLDaastParser &wrapper)
{
    impressionUrls = wrapper.impressionUrls + impressionUrls;
    errorUrls = wrapper.errorUrls + errorUrls;
    trackingEvents = wrapper.trackingEvents + trackingEvents;
}

bool KLDaastParser::processLinearElement(const QDomElement &linear)
{
    const QDomElement mediaFiles = linear.firstChildElement(QStringLiteral("MediaFiles"));
    if (mediaFiles.isNull()) {
        qCDebug(klLog) << "Daast parser: MediaFiles element was expected";
        return false;
    }
    const QDomNodeList files = mediaFiles.elementsByTagName(QStringLiteral("MediaFile"));
    QString mediaUrl;
    bool found = false;
    for (int i = 0; i < files.size() && !found; ++i) {
        const QDomElement file = files.at(i).toElement();
        if (file.attribute(QStringLiteral("type")).contains(QLatin1String("audio"))) {
            mediaUrl = file.text().simplified();
            found = true;
        }
    }
    if (!found) {
        qCDebug(klLog) << "Daast parser: MediaFiles should contains at least one audio type file "
                          "for playing";
        return false;
    }
    QString duration;
    if (!readChildText(linear, QStringLiteral("Duration"), duration))
        return false;
    linearMediaUrl = mediaUrl;
    linearDuration = duration;
    readTrackingUrls(linear.firstChildElement(QStringLiteral("TrackingEvents")),
                     linearTrackingUrls);
    return true;
}

bool KLDaastParser::processCompanionAdsElement(const QDomElement &companionAds)
{
    const QDomElement companion = companionAds.firstChildElement(QStringLiteral("Companion"));
    if (companion.isNull()) {
        qCDebug(klLog) << "Daast parser: Creative element was expected";
        return false;
    }
    const QDomElement resource = companion.firstChildElement(QStringLiteral("StaticResource"));
    if (resource.isNull() ||
        !resource.attribute(QStringLiteral("creativeType")).contains(QLatin1String("image"))) {
        qCDebug(klLog) << "Daast parser: StaticResource with image creativeType attribute was "
                          "expected";
        return false;
    }
    QString clickThrough;
    QString clickTracking;
    if (!readChildText(companion, QStringLiteral("CompanionClickThrough"), clickThrough) ||
        !readChildText(companion, QStringLiteral("CompanionClickTracking"), clickTracking))
        return false;
    companionImageUrl = resource.text().simplified();
    companionClickThroughUrl = clickThrough;
    companionClickTrackingUrl = clickTracking;
    readTrackingUrls(companion.firstChildElement(QStringLiteral("TrackingEvents")),
                     companionTrackingUrls);
    return true;
}

bool KLDaastParser::readChildText(const QDomElement &parent, QString tagName, QString &text)
{
    const QDomElement child = parent.firstChildElement(tagName);
    if (child.isNull()) {
        qCDebug(klLog) << "Daast parser:" << tagName << "element was not found";
        return false;
    }
    text = child.text().simplified();
    return true;
}

void KLDaastParser::readTrackingUrls(const QDomElement &trackingEvents,
                                     QMap<QString, QString> &urls)
{
    if (trackingEvents.isNull())
        return;
    const QDomNodeList trackings = trackingEvents.elementsByTagName(QStringLiteral("Tracking"));
    for (int i = 0; i < trackings.size(); ++i) {
        const QDomElement tracking = trackings.at(i).toElement();
        const QString event = tracking.attribute(QStringLiteral("event")).simplified();
        const QString url = tracking.text().simplified();
        if (!event.isEmpty() && !url.isEmpty())
            urls.insert(event, url);
    }
}
