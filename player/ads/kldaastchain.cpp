#include "kldaastchain.h"

#include "klcredentials.h"

void KLDaastChain::start(const QUrl &url)
{
    m_visited = {url};
    m_ad.clear();
    m_message.clear();
}

KLDaastChain::Step KLDaastChain::take(const QByteArray &document)
{
    const QString from = KLCredentials::redacted(currentUrl());
    KLDaastParser parsed;
    if (!parsed.parse(document)) {
        m_message = QStringLiteral("Can not parse daast data from url:") + from;
        return Step::Failed;
    }
    if (parsed.noBanner) {
        m_ad = parsed;
        return Step::Done;
    }
    parsed.prependWrapper(m_ad);
    m_ad = parsed;
    if (!parsed.isWrapper)
        return Step::Done;

    if (hops() >= maxHops) {
        m_message = QStringLiteral("Ad wrapper chain is longer than %1 documents, stopped at ")
                        .arg(maxHops) +
                    from;
        return Step::Failed;
    }
    const QUrl next = currentUrl().resolved(QUrl(parsed.wrapperAdTagUrl, QUrl::TolerantMode));
    if (!next.isValid() ||
        (next.scheme() != QLatin1String("http") && next.scheme() != QLatin1String("https"))) {
        m_message = QStringLiteral("Ad wrapper at %1 points to no web address").arg(from);
        return Step::Failed;
    }
    const QUrl normalized = next.adjusted(QUrl::NormalizePathSegments);
    for (const QUrl &visited : std::as_const(m_visited)) {
        if (visited.adjusted(QUrl::NormalizePathSegments) == normalized) {
            m_message =
                QStringLiteral("Ad wrapper chain loops back to ") + KLCredentials::redacted(next);
            return Step::Failed;
        }
    }
    m_visited.append(next);
    return Step::Next;
}
