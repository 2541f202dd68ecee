// Audio advertisement documents on arbitrary bytes: the parser never crashes, accepts nothing
// half, and every text it keeps is whitespace-simplified.

#include "kldaastparser.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool isSimplified(const QString &text)
{
    return text == text.simplified();
}

bool isSimplified(const QMap<QString, QString> &urls)
{
    for (auto it = urls.cbegin(); it != urls.cend(); ++it) {
        if (it.key().isEmpty() || it.value().isEmpty() || !isSimplified(it.key()) ||
            !isSimplified(it.value()))
            return false;
    }
    return true;
}

bool isEmpty(const KLDaastParser &p)
{
    return p.adId.isEmpty() && p.adSystem.isEmpty() && p.adTitle.isEmpty() &&
           p.impressionUrl.isEmpty() && p.errorUrl.isEmpty() && p.linearMediaUrl.isEmpty() &&
           p.linearDuration.isEmpty() && p.linearTrackingUrls.isEmpty() &&
           p.companionImageUrl.isEmpty() && p.companionTrackingUrls.isEmpty() &&
           p.companionClickThroughUrl.isEmpty() && p.companionClickTrackingUrl.isEmpty();
}

void application()
{
    static int argc = 1;
    static char name[] = "fuzz-daast";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return new QCoreApplication(argc, argv);
    }();
    Q_UNUSED(app);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    application();
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    KLDaastParser parser;
    const bool parsed = parser.parse(input);
    if (!parsed || parser.noBanner) {
        check(isEmpty(parser));
        check(parser.noBanner == parsed);
        return 0;
    }
    for (const QString *text :
         {&parser.adId, &parser.adSystem, &parser.adTitle, &parser.impressionUrl, &parser.errorUrl,
          &parser.linearMediaUrl, &parser.linearDuration, &parser.companionImageUrl,
          &parser.companionClickThroughUrl, &parser.companionClickTrackingUrl})
        check(isSimplified(*text));
    check(isSimplified(parser.linearTrackingUrls));
    check(isSimplified(parser.companionTrackingUrls));

    // The same bytes give the same ad again.
    KLDaastParser again = parser;
    check(again.parse(input));
    check(again.linearMediaUrl == parser.linearMediaUrl &&
          again.linearTrackingUrls == parser.linearTrackingUrls &&
          again.companionTrackingUrls == parser.companionTrackingUrls);
    return 0;
}
