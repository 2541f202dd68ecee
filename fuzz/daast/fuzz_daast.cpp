// Audio advertisement documents on arbitrary bytes: the parser never crashes, accepts nothing
// half, and every text it keeps is whitespace-simplified; a wrapper chain built of the input's
// parts ends within its hop bound with the wrappers' addresses ahead of the inline ad's.
//
// Input layout: the document; for the chain, the input cut at NUL bytes into the documents of
// the chain, in order (XML never holds a NUL byte).

#include "kldaastchain.h"
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

void checkChain(const QByteArray &input)
{
    const QList<QByteArray> documents = input.split('\0');
    KLDaastChain chain;
    chain.start(QUrl(QStringLiteral("http://ads.example/first")));
    qsizetype impressions = 0;
    for (const QByteArray &document : documents) {
        const int hopsBefore = chain.hops();
        const KLDaastChain::Step step = chain.take(document);
        check(chain.hops() <= KLDaastChain::maxHops);
        if (step == KLDaastChain::Step::Failed) {
            check(!chain.message().isEmpty() && chain.hops() == hopsBefore);
            return;
        }
        // Nothing taken is ever lost from the chain's addresses.
        check(chain.ad().noBanner || chain.ad().impressionUrls.size() >= impressions);
        impressions = chain.ad().impressionUrls.size();
        if (step == KLDaastChain::Step::Done) {
            check(!chain.ad().isWrapper);
            return;
        }
        check(chain.ad().isWrapper && chain.hops() == hopsBefore + 1);
        const QString scheme = chain.currentUrl().scheme();
        check(scheme == QLatin1String("http") || scheme == QLatin1String("https"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    application();
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (input.contains('\0'))
        checkChain(input);
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
    for (const QString &url : parser.impressionUrls + parser.errorUrls)
        check(!url.isEmpty() && isSimplified(url));
    for (const auto &[event, url] : parser.trackingEvents)
        check(!event.isEmpty() && !url.isEmpty() && isSimplified(event) && isSimplified(url));
    check(parser.isWrapper == !parser.wrapperAdTagUrl.isEmpty());
    check(!parser.isWrapper || parser.linearMediaUrl.isEmpty());
    check(isSimplified(parser.companionTrackingUrls));

    // The same bytes give the same ad again.
    KLDaastParser again = parser;
    check(again.parse(input));
    check(again.linearMediaUrl == parser.linearMediaUrl &&
          again.linearTrackingUrls == parser.linearTrackingUrls &&
          again.companionTrackingUrls == parser.companionTrackingUrls);
    return 0;
}
