#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class QDomElement;

// The values of an audio advertisement document (DAAST, or VAST of the same shape) that ad
// playback needs: the audio file, the companion banner with its click addresses, and the
// tracking addresses of the playback events. Only a document with one inline ad that has both
// a linear audio creative and an image companion is accepted; anything less is rejected as a
// whole. A document whose root is "nobanner" is a valid answer meaning "no ad now".
//
// Documents come from the network: bodies above maxDocumentSize and documents with a document
// type declaration (entity definitions, external entities) are rejected unread.
class KELVANEPLAYER_EXPORT KLDaastParser
{
public:
    static constexpr qsizetype maxDocumentSize = 1024 * 1024;

    KLDaastParser();
    KLDaastParser(const KLDaastParser &other);
    KLDaastParser(KLDaastParser &&other) noexcept;
    KLDaastParser &operator=(const KLDaastParser &other);
    KLDaastParser &operator=(KLDaastParser &&other) noexcept;
    ~KLDaastParser();

    // All fields back to empty and false.
    void clear();
    // True when the fields now describe an ad or a "nobanner" answer; otherwise every field is
    // empty and one debug line says why.
    bool parse(const QByteArray &data);

    bool noBanner = false;
    QString adId;
    QString adSystem;
    QString adTitle;
    QString impressionUrl;
    QString errorUrl;
    QString linearMediaUrl;
    QString linearDuration;
    QMap<QString, QString> linearTrackingUrls; // event -> address
    QString companionImageUrl;
    QMap<QString, QString> companionTrackingUrls; // event -> address
    QString companionClickThroughUrl;
    QString companionClickTrackingUrl;

private:
    bool processRootElement(const QDomElement &root);
    bool processLinearElement(const QDomElement &linear);
    bool processCompanionAdsElement(const QDomElement &companionAds);
    bool readChildText(const QDomElement &parent, QString tagName, QString &text);
    void readTrackingUrls(const QDomElement &trackingEvents, QMap<QString, QString> &urls);
};
