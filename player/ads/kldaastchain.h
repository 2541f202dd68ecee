#pragma once

#include "kldaastparser.h"
#include "klplayerglobal.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// Follows the wrapper chain of an ad: the documents fetched one after another are taken in
// turn. A wrapper's impression, error and tracking addresses are kept and the address of the
// next document is given, for at most maxHops wrappers and never back to an address already
// asked; the inline ad (or "nobanner" answer) at the end comes out with every wrapper's
// addresses ahead of its own, in the order of the chain. Knows nothing of the network.
class KELVANEPLAYER_EXPORT KLDaastChain
{
public:
    static constexpr int maxHops = 5;

    enum class Step {
        Failed, // message() says why; ad() holds the wrappers' addresses taken so far
        Next,   // fetch currentUrl() and take its document
        Done,   // ad() is the inline ad or a "nobanner" answer
    };

    // Begins a chain whose first document is at url.
    void start(const QUrl &url);
    Step take(const QByteArray &document);

    // The address whose document is to be taken next (or was taken last).
    QUrl currentUrl() const { return m_visited.isEmpty() ? QUrl() : m_visited.constLast(); }
    // Wrappers followed so far.
    int hops() const { return int(m_visited.size()) - 1; }
    const KLDaastParser &ad() const { return m_ad; }
    QString message() const { return m_message; }

private:
    QList<QUrl> m_visited;
    KLDaastParser m_ad;
    QString m_message;
};
