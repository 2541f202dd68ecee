// The fuzz programs never make a request, so the manager's static helpers that the updater
// names are stood in here; the manager and its bounded reply stay out of the fuzz build.

#include "klnetworkaccessmanager.h"

QNetworkReply *KLNetworkAccessManager::senderReply(QObject *sender, const QString &,
                                                   const QLoggingCategory &)
{
    return qobject_cast<QNetworkReply *>(sender);
}

bool KLNetworkAccessManager::isSameUrl(const QUrl &a, const QUrl &b)
{
    const auto options = QUrl::RemoveQuery | QUrl::RemoveFragment;
    return a.adjusted(options).toString() == b.adjusted(options).toString();
}
