#include "klhlssegmentresources.h"

#include "klcredentials.h"
#include "klhlsmp4reader.h"
#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QtEndian>

#include <climits>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

namespace {

const char *const kindProperty = "klHlsResourceKind";
constexpr int aesBlock = 16;

// The first bytes of something the demuxer and the engine read: a transport stream, an ID3
// tag ahead of packed audio, an MP4 box, or an AAC or MP3 frame.
bool looksLikeSegment(const QByteArray &data)
{
    if (data.isEmpty())
        return false;
    if (quint8(data.at(0)) == 0x47 || data.startsWith("ID3") || KLHlsMp4Reader::looksLikeMp4(data))
        return true;
    return data.size() >= 2 && quint8(data.at(0)) == 0xFF && (quint8(data.at(1)) & 0xE0) == 0xE0;
}

} // namespace

KLHlsSegmentResources::KLHlsSegmentResources(KLPlayerInterface *player, QObject *parent)
    : QObject(parent ? parent : (player ? player->playerObject() : nullptr))
    , m_playerObject(player ? player->playerObject() : nullptr)
    , m_player(player)
{}

KLHlsSegmentResources::~KLHlsSegmentResources()
{
    clear();
}

KLPlayerInterface *KLHlsSegmentResources::player() const
{
    return m_playerObject ? m_player : nullptr;
}

bool KLHlsSegmentResources::prepare(const KLHlsChunk &chunk)
{
    if (m_failed)
        return false;
    bool ready = true;
    if (!chunk.keyMethod.isEmpty()) {
        QString failure;
        if (chunk.keyMethod != QLatin1String("AES-128"))
            failure = QStringLiteral("Hls encryption method %1 is not supported")
                          .arg(chunk.keyMethod.left(64));
        else if (chunk.keyUrl.isEmpty())
            failure = QStringLiteral("Hls encryption key has no network address");
        if (!failure.isEmpty()) {
            m_failed = true;
            // Reported from the event loop: the receiver stops the playback that called.
            QTimer::singleShot(0, this, [this, failure] { fail(QUrl(), failure); });
            return false;
        }
        ready = need(chunk.keyUrl, Kind::Key);
    }
    if (!chunk.mapUrl.isEmpty())
        ready = need(chunk.mapUrl, Kind::Init) && ready;
    return ready;
}

bool KLHlsSegmentResources::need(const QUrl &url, Kind kind)
{
    if (m_kept.contains(url))
        return true;
    KLPlayerInterface *owner = player();
    if (!owner || !owner->nam())
        return false;
    for (const QPointer<QNetworkReply> &reply : std::as_const(m_replies)) {
        if (reply && reply->request().url() == url)
            return false;
    }
    const auto failure = m_failures.constFind(url);
    if (failure != m_failures.cend() && failure->since.isValid() &&
        failure->since.elapsed() < m_retryDelayMs)
        return false;

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute,
                         kind == Kind::Key ? KL_HLS_MAX_KEY_SIZE : KL_HLS_MAX_INIT_SIZE);
    QNetworkReply *reply = owner->nam()->get(request);
    reply->setProperty(kindProperty, int(kind));
    m_replies.append(reply);
    connect(reply, &QNetworkReply::finished, this, &KLHlsSegmentResources::requestFinished);
    return false;
}

void KLHlsSegmentResources::requestFinished()
{
    auto *finished = qobject_cast<QNetworkReply *>(sender());
    KLPlayerInterface *owner = player();
    if (!finished || !owner)
        return;
    m_replies.removeIf(
        [finished](const QPointer<QNetworkReply> &reply) { return !reply || reply == finished; });
    const QUrl url = finished->request().url();
    const Kind kind = Kind(finished->property(kindProperty).toInt());
    const QString what = kind == Kind::Key ? QStringLiteral("Hls encryption key")
                                           : QStringLiteral("Hls initialization segment");
    QNetworkReply *reply = KLNetworkAccessManager::senderReply(
        sender(), owner->playerName() + QLatin1Char(' ') + what + QStringLiteral(" request"),
        klLog());
    if (!reply) {
        fail(url, what + QStringLiteral(" could not be loaded"));
        return;
    }
    const QByteArray bytes = reply->readAll();
    QString failure;
    if (kind == Kind::Key && bytes.size() != KL_HLS_AES_KEY_SIZE) {
        failure = what + QStringLiteral(" has %1 bytes instead of %2")
                             .arg(bytes.size())
                             .arg(KL_HLS_AES_KEY_SIZE);
    } else if (kind == Kind::Init) {
        KLHlsMp4Reader reader;
        if (!reader.readInit(bytes))
            failure = what + QStringLiteral(": ") + reader.error();
    }
    if (!failure.isEmpty()) {
        // The same bytes would come again: no retry.
        m_failed = true;
        fail(url, failure);
        return;
    }
    m_failures.remove(url);
    keep(url, bytes);
    emit ready();
}

void KLHlsSegmentResources::keep(const QUrl &url, const QByteArray &bytes)
{
    if (!m_kept.contains(url))
        m_keptOrder.append(url);
    m_kept.insert(url, bytes);
    while (m_keptOrder.size() > KL_HLS_MAX_KEPT)
        m_kept.remove(m_keptOrder.takeFirst());
}

void KLHlsSegmentResources::fail(const QUrl &url, const QString &message)
{
    KLPlayerInterface *owner = player();
    const QString name = owner ? owner->playerName() : QString();
    const QString text =
        url.isEmpty() ? message : message + QStringLiteral(" from ") + KLCredentials::redacted(url);
    if (!m_failed) {
        Failure &failure = m_failures[url];
        failure.since.start();
        if (++failure.count < KL_HLS_MAX_FAILURES) {
            qCWarning(klLog) << name << text << QStringLiteral("(will retry)");
            // Nothing else may ask again soon: a programme without playlist reloads.
            QTimer::singleShot(m_retryDelayMs, this, [this] {
                if (!m_failed)
                    emit ready();
            });
            return;
        }
        m_failed = true;
    }
    qCWarning(klLog) << name << text;
    emit error(text);
}

bool KLHlsSegmentResources::plainSegment(const KLHlsChunk &chunk, const QByteArray &bytes,
                                         QByteArray *plain, QString *message) const
{
    if (chunk.keyMethod.isEmpty()) {
        *plain = bytes;
        return true;
    }
    const QByteArray key = m_kept.value(chunk.keyUrl);
    QByteArray iv = chunk.keyIv;
    if (iv.size() != aesBlock) {
        // The media sequence number, as a 128-bit big-endian number.
        iv = QByteArray(aesBlock, '\0');
        qToBigEndian<quint32>(chunk.sequence, iv.data() + aesBlock - 4);
    }
    if (key.size() != KL_HLS_AES_KEY_SIZE || !decrypt(key, iv, bytes, plain) ||
        !looksLikeSegment(*plain)) {
        plain->clear();
        *message = QStringLiteral("Hls segment %1 could not be decrypted with its key")
                       .arg(KLCredentials::redacted(chunk.url));
        return false;
    }
    return true;
}

QByteArray KLHlsSegmentResources::initSegment(const KLHlsChunk &chunk) const
{
    return chunk.mapUrl.isEmpty() ? QByteArray() : m_kept.value(chunk.mapUrl);
}

void KLHlsSegmentResources::clear()
{
    const QList<QPointer<QNetworkReply>> replies = m_replies;
    m_replies.clear();
    for (const QPointer<QNetworkReply> &reply : replies) {
        if (!reply)
            continue;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    m_kept.clear();
    m_keptOrder.clear();
    m_failures.clear();
    m_failed = false;
}

void KLHlsSegmentResources::resetFailures()
{
    m_failures.clear();
    m_failed = false;
}

bool KLHlsSegmentResources::decrypt(const QByteArray &key, const QByteArray &iv,
                                    const QByteArray &data, QByteArray *plain)
{
    plain->clear();
    if (key.size() != KL_HLS_AES_KEY_SIZE || iv.size() != aesBlock || data.isEmpty() ||
        data.size() % aesBlock != 0 || data.size() / aesBlock > INT_MAX)
        return false;
    AVAES *aes = av_aes_alloc();
    if (!aes)
        return false;
    QByteArray out(data.size(), Qt::Uninitialized);
    QByteArray vector = iv;
    const bool initialised =
        av_aes_init(aes, reinterpret_cast<const uint8_t *>(key.constData()), 128, 1) == 0;
    if (initialised)
        av_aes_crypt(aes, reinterpret_cast<uint8_t *>(out.data()),
                     reinterpret_cast<const uint8_t *>(data.constData()),
                     int(data.size() / aesBlock), reinterpret_cast<uint8_t *>(vector.data()), 1);
    av_free(aes);
    if (!initialised)
        return false;
    const int padding = quint8(out.at(out.size() - 1));
    if (padding < 1 || padding > aesBlock)
        return false;
    for (int i = 1; i <= padding; ++i) {
        if (quint8(out.at(out.size() - i)) != padding)
            return false;
    }
    out.chop(padding);
    *plain = out;
    return true;
}
