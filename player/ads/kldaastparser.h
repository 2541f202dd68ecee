#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

class QDomElement;

// The values of an audio advertisement document (DAAST, or VAST of the same shape) that ad
// playback needs: the audio file, the companion banner with its click addresses, and the
// tracking addresses of the playback events. A DAAST inline ad needs both a linear audio
// creative and an image companion; a VAST 3 or 4 inline ad needs the linear audio creative
// only. A VAST wrapper ad is accepted with the address of the next document in its chain and
// its own impression, error and tracking addresses, to be merged into the inline ad's with
// prependWrapper(). Anything less is rejected as a whole. A document whose root is "nobanner"
// is a valid answer meaning "no ad now".
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
    // Puts the impression, error and tracking addresses of wrapper (the document that pointed
    // to this one, with those of its own wrappers already merged) ahead of this document's.
    void prependWrapper(const KLDaastParser &wrapper);

    bool noBanner = false;
    // A wrapper ad: the next document is at wrapperAdTagUrl; no creative is read.
    bool isWrapper = false;
    QString wrapperAdTagUrl;
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
    // Every impression and error address, and every linear tracking event with its address, in
    // document order (the wrappers' first once merged). The single fields above hold the first.
    QStringList impressionUrls;
    QStringList errorUrls;
    QList<QPair<QString, QString>> trackingEvents; // event, address

private:
    bool processWrapperElement(const QDomElement &wrapper);
    // The impression, error and linear tracking addresses of an InLine or Wrapper element.
    void readAllAddresses(const QDomElement &ad);
    bool processRootElement(const QDomElement &root);
    bool processLinearElement(const QDomElement &linear);
    bool processCompanionAdsElement(const QDomElement &companionAds);
    bool readChildText(const QDomElement &parent, QString tagName, QString &text);
    void readTrackingUrls(const QDomElement &trackingEvents, QMap<QString, QString> &urls);
};
