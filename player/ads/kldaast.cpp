#include "kldaast.h"

#include "klbass.h"
#include "klcallbackregistry.h"
#include "klcredentials.h"
#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayer.h"

#include <bass.h>

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

namespace {

// Ad objects that the engine's sync procedures may reach.
KLCallbackRegistry &living()
{
    static KLCallbackRegistry registry;
    return registry;
}

const QString statisticsKey = QStringLiteral("sdkuiid");

} // namespace

KLDaast::KLDaast(KLPlayer *player)
    : QObject(player)
    , m_player(player)
{
    m_callbackSerial = living().add(this);
    connect(this, &KLDaast::volumeChanged, this, &KLDaast::handleStreamVolume);
}

KLDaast::~KLDaast()
{
    // No sync reaches this object once it is out of the registry.
    living().remove(m_callbackSerial);
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (m_stream)
        BASS_StreamFree(m_stream);
}

QStringList KLDaast::pendingPositionEvents() const
{
    QStringList events;
    for (const auto &[sync, event] : m_positionEvents)
        events << event;
    return events;
}

bool KLDaast::setDaastUrl(const QUrl &daastUrl)
{
    if (m_daastUrl == daastUrl)
        return false;
    m_daastUrl = daastUrl;
    emit daastUrlChanged(m_daastUrl);
    return true;
}

bool KLDaast::setDaastTimeoutMs(int daastTimeoutMs)
{
    if (m_daastTimeoutMs == daastTimeoutMs)
        return false;
    m_daastTimeoutMs = daastTimeoutMs;
    emit daastTimeoutMsChanged(m_daastTimeoutMs);
    return true;
}

bool KLDaast::setVolume(double volume)
{
    if (m_volume == volume)
        return false;
    m_volume = volume;
    emit volumeChanged(m_volume);
    return true;
}

bool KLDaast::updateState(KLPlayerSource::State state)
{
    if (m_state == state)
        return false;
    m_state = state;
    emit stateChanged(m_state);
    return true;
}

KLPlayerSource::State KLDaast::readState() const
{
    if (m_reply)
        return KLPlayerSource::StalledState;
    if (!m_stream)
        return KLPlayerSource::StoppedState;
    switch (BASS_ChannelIsActive(m_stream)) {
    case BASS_ACTIVE_STOPPED:
        return KLPlayerSource::StoppedState;
    case BASS_ACTIVE_PLAYING:
        return KLPlayerSource::PlayingState;
    case BASS_ACTIVE_STALLED:
        return KLPlayerSource::StalledState;
    case BASS_ACTIVE_PAUSED:
    case BASS_ACTIVE_PAUSED_DEVICE:
        return KLPlayerSource::PausedState;
    default:
        return KLPlayerSource::ErrorState;
    }
}

void KLDaast::updateState()
{
    updateState(readState());
}

QUrl KLDaast::formatUrl(const QUrl &url) const
{
    if (!url.isValid())
        return {};
    const KLNetworkAccessManager *nam = m_player ? m_player->nam() : nullptr;
    if (!nam || nam->quorviaUserId().isEmpty())
        return url;
    QUrlQuery query(url);
    query.removeAllQueryItems(statisticsKey);
    query.addQueryItem(statisticsKey, nam->quorviaUserId());
    QUrl formatted(url);
    formatted.setQuery(query);
    return formatted;
}

QString KLDaast::printable(const QUrl &url)
{
    return KLCredentials::redacted(url);
}

void KLDaast::play()
{
    if (!m_player)
        return;
    if (!m_player->nam()) {
        // Without a manager no ad can come; the owner still learns that there is none.
        qCWarning(klLog) << m_player->playerName() << "Daast skipped: no network access manager";
        stopBassPlayback();
        emit skipped();
        return;
    }

    if (m_state == KLPlayerSource::PausedState && formatUrl(m_daastUrl) == m_adUrl) {
        if (!BASS_ChannelPlay(m_stream, FALSE)) {
            handleError(QStringLiteral("Can not play daast stream from paused") +
                        KLBass::errorMessage());
            return;
        }
        updateState();
        return;
    }

    stopBassPlayback();
    m_requestUrl = formatUrl(m_daastUrl);
    if (m_requestUrl.isEmpty()) {
        emit skipped();
        return;
    }
    m_adUrl = m_requestUrl;
    m_chain.start(m_daastUrl);
    m_chainDeadline = m_daastTimeoutMs > 0 ? QDeadlineTimer(m_daastTimeoutMs)
                                           : QDeadlineTimer(QDeadlineTimer::Forever);
    requestDocument();
    updateState();
}

void KLDaast::requestDocument()
{
    if (!m_player || !m_player->nam()) {
        handleError(QStringLiteral("Can not get daast data without a network access manager"));
        return;
    }
    QNetworkRequest request(m_requestUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute,
                         qint64(KLDaastParser::maxDocumentSize));
    m_reply = m_player->nam()->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &KLDaast::daastRequestFinished);
    if (!m_chainDeadline.isForever()) {
        auto *timer = new QTimer(m_reply);
        timer->setSingleShot(true);
        QPointer<QNetworkReply> reply = m_reply;
        const QString name = m_player->playerName();
        connect(timer, &QTimer::timeout, this, [reply, name]() {
            if (reply && reply->isRunning()) {
                qCWarning(klLog) << name << "Daast timeout, skipping";
                reply->abort();
            }
        });
        timer->start(int(qMax<qint64>(0, m_chainDeadline.remainingTime())));
    }
}

void KLDaast::daastRequestFinished()
{
    if (!m_player || sender() != m_reply)
        return;
    m_reply = nullptr;

    QNetworkReply *reply = KLNetworkAccessManager::senderReply(
        sender(), m_player->playerName() + QStringLiteral(" Daast request"), klLog());
    if (!reply) {
        // The wrappers' error addresses are called too.
        m_parser = m_chain.ad();
        handleError(QStringLiteral("Can not get daast data from url:") + printable(m_requestUrl));
        return;
    }
    const KLDaastChain::Step step = m_chain.take(reply->readAll());
    m_parser = m_chain.ad();
    switch (step) {
    case KLDaastChain::Step::Failed:
        handleError(m_chain.message());
        return;
    case KLDaastChain::Step::Next:
        qCDebug(klLog) << m_player->playerName() << "Daast wrapper, following"
                       << printable(m_chain.currentUrl());
        m_requestUrl = formatUrl(m_chain.currentUrl());
        requestDocument();
        return;
    case KLDaastChain::Step::Done:
        break;
    }
    if (m_parser.noBanner) {
        stopBassPlayback();
        emit skipped();
        return;
    }
    startBassPlayback();
}

void KLDaast::eventRequestFinished()
{
    const QString name = m_player ? m_player->playerName() : QString();
    KLNetworkAccessManager::senderReply(sender(), name + QStringLiteral(" Daast event"), klLog());
}

void KLDaast::startBassPlayback()
{
    if (!m_player || !m_player->nam())
        return;
    if (m_parser.linearMediaUrl.isEmpty()) {
        handleError(QStringLiteral("Can not start playing daast because linearMediaUrl isEmpty"));
        return;
    }

    const KLNetworkAccessManager *nam = m_player->nam();
    const QUrl address = formatUrl(QUrl(m_parser.linearMediaUrl, QUrl::TolerantMode));
    // The engine's address string carries request header lines (Authorization among them):
    // only the address itself, without user information, is ever printed.
    const QByteArray bytes = KLBass::formatStreamUrl(address, nam->userAgent(), nam->referer(),
                                                     nam->quorviaUserId(), nam->quorviaUtmMark());
    m_stream = BASS_StreamCreateURL(bytes.constData(), 0, BASS_STREAM_AUTOFREE, nullptr,
                                    KLCallbackRegistry::userData(m_callbackSerial));
    if (!m_stream) {
        handleError(QStringLiteral("Can not create daast stream by url ") + printable(address) +
                    QStringLiteral(" Bass error: ") + KLBass::errorMessage());
        return;
    }

    const QWORD length = BASS_ChannelGetLength(m_stream, BASS_POS_BYTE);
    if (length == QWORD(-1) || length == 0 || BASS_ChannelBytes2Seconds(m_stream, length) < 0.01) {
        handleError(QStringLiteral("Can not get duration from daast stream by url ") +
                    printable(address) + QStringLiteral(" Bass error: ") + KLBass::errorMessage());
        return;
    }

    const QWORD second = setTrackingSyncs(length);
    if (!setEndSyncs(length, second))
        return;
    // The volume goes first, so that not even the first mixing period sounds at full volume.
    // A refused volume has ended the ad and released its stream: nothing more of it follows.
    handleStreamVolume();
    if (!m_stream)
        return;
    if (!BASS_ChannelPlay(m_stream, FALSE)) {
        handleError(QStringLiteral("Can not play daast stream") + KLBass::errorMessage());
        return;
    }
    handleDaastEvent(QStringLiteral("start"));
    emit started(m_parser.adTitle,
                 formatUrl(QUrl(m_parser.companionImageUrl, QUrl::TolerantMode)).toString(),
                 formatUrl(QUrl(m_parser.companionClickThroughUrl, QUrl::TolerantMode)).toString());
    updateState();
}

QWORD KLDaast::setTrackingSyncs(QWORD length)
{
    const QString name = m_player ? m_player->playerName() : QString();
    const auto positionEvent = [&](QWORD pos, const QString &event, const QString &failure) {
        if (!createDaastPosSync(pos, event))
            qCDebug(klLog) << name << failure << KLBass::errorMessage();
    };
    positionEvent(length / 4, QStringLiteral("firstQuartile"),
                  QStringLiteral("Can not set daast first quartile event sync"));
    positionEvent(length / 2, QStringLiteral("midpoint"),
                  QStringLiteral("Can not set daast midpoint event sync"));
    positionEvent((length / 4) * 3, QStringLiteral("thirdQuartile"),
                  QStringLiteral("Can not set daast third quartile event sync"));

    const QWORD second = BASS_ChannelSeconds2Bytes(m_stream, 1.0);
    if (second == QWORD(-1) || second == 0) {
        qCWarning(klLog) << name << "Can not get 1 second in bytes from daast stream"
                         << KLBass::errorMessage();
        return second;
    }
    // A hostile length must not turn into a flood of tracking requests.
    const QWORD lastSecond = std::min<QWORD>(length / second, maxProgressEvents - 1);
    for (QWORD n = 0; n <= lastSecond; ++n) {
        const QString event = QStringLiteral("progress") + QString::number(n);
        positionEvent(n * second, event,
                      QStringLiteral("Can not set daast ") + event + QStringLiteral(" event sync"));
    }
    return second;
}

bool KLDaast::setEndSyncs(QWORD length, QWORD second)
{
    // Without the byte count of a second, the ad is about to end only at its end.
    const double tail = second == QWORD(-1) ? 0.0 : 0.1 * double(second);
    const QWORD aboutToEndPos = QWORD(std::max(0.0, std::floor(double(length) - tail)));
    if (!createDaastPosSync(aboutToEndPos, QStringLiteral("aboutToEnd"))) {
        handleError(QStringLiteral("Can not set daast about to end event sync") +
                    KLBass::errorMessage());
        return false;
    }
    void *user = KLCallbackRegistry::userData(m_callbackSerial);
    if (!BASS_ChannelSetSync(m_stream, BASS_SYNC_STALL, 0, &KLDaast::bassStalled, user)) {
        handleError(QStringLiteral("Can not set daast stall sync") + KLBass::errorMessage());
        return false;
    }
    if (!BASS_ChannelSetSync(m_stream, BASS_SYNC_END | BASS_SYNC_ONETIME, 0, &KLDaast::bassEnd,
                             user)) {
        handleError(QStringLiteral("Can not set daast end sync") + KLBass::errorMessage());
        return false;
    }
    return true;
}

void KLDaast::stopBassPlayback()
{
    m_requestUrl.clear();
    m_adUrl.clear();
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    m_parser.clear();
    m_positionEvents.clear();
    if (m_stream) {
        BASS_StreamFree(m_stream);
        m_stream = 0;
    }
    updateState();
}

void KLDaast::sendDaastEvent(const QUrl &url)
{
    sendTrackingRequest(url);
}

QNetworkReply *KLDaast::sendTrackingRequest(const QUrl &url)
{
    if (!m_player || !m_player->nam())
        return nullptr;
    const QUrl address = formatUrl(url);
    if (!address.isValid() || address.isEmpty())
        return nullptr;
    QNetworkRequest request(address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, qint64(maxTrackingBodySize));
    QNetworkReply *reply = m_player->nam()->get(request);
    // The reply frees itself when it finishes, also when this ad object has gone by then.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    connect(reply, &QNetworkReply::finished, this, &KLDaast::eventRequestFinished);
    return reply;
}

void KLDaast::sendDaastEvents(const QStringList &urls)
{
    for (qsizetype i = 0; i < urls.size(); ++i) {
        QNetworkReply *reply = sendTrackingRequest(QUrl(urls.at(i), QUrl::TolerantMode));
        if (!reply)
            continue;
        const QStringList rest = urls.mid(i + 1);
        if (!rest.isEmpty())
            connect(reply, &QNetworkReply::finished, this, [this, rest] { sendDaastEvents(rest); });
        return;
    }
}

bool KLDaast::createDaastPosSync(QWORD pos, const QString &event)
{
    // One-time: a position sync is delivered once, and a seek back does not bring it again.
    const HSYNC sync = BASS_ChannelSetSync(m_stream, BASS_SYNC_POS | BASS_SYNC_ONETIME, pos,
                                           &KLDaast::bassDaastEvent,
                                           KLCallbackRegistry::userData(m_callbackSerial));
    if (!sync)
        return false;
    m_positionEvents.append({sync, event});
    return true;
}

void KLDaast::handleError(const QString &message)
{
    if (m_player)
        qCWarning(klLog) << m_player->playerName() << message;
    handleDaastEvent(QStringLiteral("error"));
    stopBassPlayback();
    emit ended();
    emit error(message);
}

void KLDaast::handleStreamEnd()
{
    handleDaastEvent(QStringLiteral("complete"));
    stopBassPlayback();
    emit ended();
}

void KLDaast::handleStreamStalledChanged(bool isStalled)
{
    if (!m_player)
        return;
    qCDebug(klLog) << m_player->playerName()
                   << (isStalled ? "Daast playback stalled"
                                 : "Daast playback continue after stalled state");
    updateState();
}

void KLDaast::handleStreamVolume()
{
    if (!m_stream)
        return;
    if (!BASS_ChannelSetAttribute(m_stream, BASS_ATTRIB_VOL, float(m_volume)))
        handleError(QStringLiteral("Can not set daast volume") + KLBass::errorMessage());
}

void KLDaast::handleDaastEvent(const QString &event)
{
    if (event == QLatin1String("aboutToEnd")) {
        emit aboutToEnd();
        return;
    }
    if (event == QLatin1String("click")) {
        sendDaastEvent(QUrl(m_parser.companionClickTrackingUrl, QUrl::TolerantMode));
        return;
    }
    if (event == QLatin1String("error")) {
        sendDaastEvents(m_parser.errorUrls);
        return;
    }
    if (event == QLatin1String("start"))
        sendDaastEvents(m_parser.impressionUrls);
    QStringList linear;
    for (const auto &[name, url] : std::as_const(m_parser.trackingEvents)) {
        if (name == event)
            linear << url;
    }
    sendDaastEvents(linear);
    sendDaastEvent(QUrl(m_parser.companionTrackingUrls.value(event), QUrl::TolerantMode));
}

void KLDaast::pause()
{
    if (!m_stream)
        return;
    const DWORD active = BASS_ChannelIsActive(m_stream);
    if (active != BASS_ACTIVE_PLAYING && active != BASS_ACTIVE_STALLED)
        return;
    if (!BASS_ChannelPause(m_stream)) {
        handleError(QStringLiteral("Can not pause daast stream") + KLBass::errorMessage());
        return;
    }
    updateState();
}

void KLDaast::stop()
{
    stopBassPlayback();
    emit ended();
}

void KLDaast::click()
{
    handleDaastEvent(QStringLiteral("click"));
}

// --- Engine notifications -------------------------------------------------------------------

void KLDaast::processSyncs()
{
    std::vector<QueuedSync> syncs;
    {
        std::lock_guard lock(m_syncsMutex);
        syncs.swap(m_syncs);
    }
    for (const QueuedSync &queued : syncs)
        handleSync(queued);
}

void KLDaast::handleSync(const QueuedSync &queued)
{
    // A notification of a stream that has been released or replaced meanwhile is stale.
    if (!m_stream || queued.channel != m_stream)
        return;
    const HSYNC sync = queued.sync;
    switch (queued.type) {
    case BASS_SYNC_POS: {
        const auto it = std::find_if(
            m_positionEvents.begin(), m_positionEvents.end(),
            [sync](const QPair<HSYNC, QString> &entry) { return entry.first == sync; });
        if (it == m_positionEvents.end())
            return;
        const QString event = it->second;
        m_positionEvents.erase(it);
        handleDaastEvent(event);
        break;
    }
    case BASS_SYNC_END:
        handleStreamEnd();
        break;
    case BASS_SYNC_STALL:
        handleStreamStalledChanged(queued.data == 0);
        break;
    default:
        break;
    }
}

void KLDaast::postSync(void *user, HSYNC sync, DWORD channel, DWORD type, DWORD data)
{
    living().with<KLDaast>(user, [=](KLDaast *daast) {
        {
            std::lock_guard lock(daast->m_syncsMutex);
            daast->m_syncs.push_back({channel, sync, type, data});
        }
        // Posted by name: nothing made on the calling thread is read on the object's thread
        // except through the queue above.
        QMetaObject::invokeMethod(daast, "processSyncs", Qt::QueuedConnection);
    });
}

void KLDaast::bassDaastEvent(HSYNC handle, DWORD channel, DWORD data, void *user)
{
    postSync(user, handle, channel, BASS_SYNC_POS, data);
}

void KLDaast::bassEnd(HSYNC handle, DWORD channel, DWORD data, void *user)
{
    postSync(user, handle, channel, BASS_SYNC_END, data);
}

void KLDaast::bassStalled(HSYNC handle, DWORD channel, DWORD data, void *user)
{
    postSync(user, handle, channel, BASS_SYNC_STALL, data);
}
