#pragma once

#include "klplayerglobal.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Keeps the now-playing description of a station current. With only a meta address the JSON
// description is fetched at once and then every 20 s; with a meta ID address as well, the
// identifier is polled every 5 s and the description is fetched only when the identifier
// changes. A failed, stale or unparsable answer empties the description, forgets the last
// identifier (so the next identifier poll fetches the description again) and brings the next
// poll forward to 5 s. A description can also be pushed in with updateMetaJson().
//
// The description maps "artist" to title and "title" to subtitle: the first line shown is the
// artist. A relative "cover" is made absolute against the meta address, user information
// included, so that a cover behind the same authentication loads. Bodies are bounded to
// maxBodySize bytes as they arrive, whichever network access manager is given; a larger one is
// a failed fetch.
//
// Lives on the thread of its network access manager and never blocks.
class KELVANEPLAYER_EXPORT KLMetadataUpdater : public QObject
{
    Q_OBJECT

    Q_PROPERTY(QUrl metaUrl READ metaUrl WRITE setMetaUrl NOTIFY metaUrlChanged)
    Q_PROPERTY(QUrl metaIdUrl READ metaIdUrl WRITE setMetaIdUrl NOTIFY metaIdUrlChanged)
    Q_PROPERTY(QJsonObject json READ json NOTIFY jsonChanged)
    Q_PROPERTY(QString title READ title NOTIFY titleChanged)
    Q_PROPERTY(QString subtitle READ subtitle NOTIFY subtitleChanged)
    Q_PROPERTY(QUrl coverUrl READ coverUrl NOTIFY coverUrlChanged)
    Q_PROPERTY(int ddbId READ ddbId NOTIFY ddbIdChanged)
    Q_PROPERTY(int type READ type NOTIFY typeChanged)

public:
    static constexpr int metaIntervalMs = 20000;
    // Poll interval of the identifier, and of either kind after a failure.
    static constexpr int shortIntervalMs = 5000;
    static constexpr qint64 maxBodySize = 64 * 1024;
    // Characters of an unparsable body that are logged.
    static constexpr qsizetype logExcerptSize = 200;

    explicit KLMetadataUpdater(QNetworkAccessManager *nam, QObject *parent = nullptr);
    ~KLMetadataUpdater() override;

    QUrl metaUrl() const { return m_metaUrl; }
    QUrl metaIdUrl() const { return m_metaIdUrl; }
    QJsonObject json() const { return m_json; }
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }
    QUrl coverUrl() const { return m_coverUrl; }
    int ddbId() const { return m_ddbId; }
    int type() const { return m_type; }

    // The current state as an indented JSON object.
    QString metaJson() const;

    // Replaces the two poll intervals (for tests); takes effect at the next (re)start.
    void setIntervals(int metaMs, int shortMs);
    int timerInterval() const { return m_updateTimer.interval(); }

    // The first logExcerptSize characters of body with control characters escaped, for a log.
    static QString logExcerpt(const QByteArray &body);

signals:
    void metaUrlChanged(const QUrl &metaUrl);
    void metaIdUrlChanged(const QUrl &metaIdUrl);
    void jsonChanged(const QJsonObject &json);
    void titleChanged(const QString &title);
    void subtitleChanged(const QString &subtitle);
    void coverUrlChanged(const QUrl &coverUrl);
    void ddbIdChanged(int ddbId);
    void typeChanged(int type);

public slots:
    bool setMetaUrl(const QUrl &metaUrl);
    bool setMetaIdUrl(const QUrl &metaIdUrl);
    void resetMeta();
    void updateMetaJson(const QString &metaJson, bool isSilence = false);
    void update();
    void updateMeta();
    void updateMetaId();

protected slots:
    bool updateJson(const QJsonObject &json);
    bool updateTitle(const QString &title);
    bool updateSubtitle(const QString &subtitle);
    bool updateCoverUrl(const QUrl &coverUrl);
    bool updateDdbId(int ddbId);
    bool updateType(int type);
    void updateMetaRequestFinished();
    void updateMetaIdRequestFinished();
    void startUpdateTimer();

protected:
    bool metaJsonParse(const QByteArray &body, bool silent);
    bool metaIdJsonParse(const QByteArray &body);
    void updateTimerInterval(bool error);

private:
    // The running request of one kind and the address it was asked for (the reply's own
    // request address may carry added query items or a redirect's target).
    struct Request
    {
        QPointer<QNetworkReply> reply;
        QUrl url;
    };

    void metaUrlChange();
    // Starts a request for url unless one for the same address runs; a running one for
    // another address is aborted.
    void startRequest(const QUrl &url, Request &running, bool isId);
    // Aborts the reply once its body announces or brings more than maxBodySize.
    void boundBody(QNetworkReply *reply);
    // The reply of a finished signal when it is the current one of its kind and succeeded for
    // the address still set; otherwise empties the description and shortens the next tick.
    QNetworkReply *finishedReply(Request &running, const QUrl &url, bool isId);
    QUrl absoluteCover(const QUrl &cover) const;

    QUrl m_metaUrl;
    QUrl m_metaIdUrl;
    QJsonObject m_json;
    QString m_title;
    QString m_subtitle;
    QUrl m_coverUrl;
    int m_ddbId = 0;
    int m_type = -1;

    QPointer<QNetworkAccessManager> m_nam;
    QTimer m_updateTimer;
    QString m_lastId;
    Request m_metaRequest;
    Request m_metaIdRequest;
    int m_metaIntervalMs = metaIntervalMs;
    int m_shortIntervalMs = shortIntervalMs;
};
