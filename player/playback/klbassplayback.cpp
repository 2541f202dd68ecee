#include "klbassplayback.h"

#include "klbass.h"
#include "klcallbackregistry.h"
#include "klcredentials.h"
#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"
#include "klplaylistformat.h"

#include <QMetaObject>
#include <QTimer>

#include <cmath>
#include <cstring>

namespace {

// Living back-ends. The engine may still be inside a download or metadata callback of a stream
// that has just been freed, after its back-end is gone; such a call finds nothing here.
KLCallbackRegistry &living()
{
    static KLCallbackRegistry backends;
    return backends;
}

} // namespace

KLBassPlayback::KLBassPlayback(KLPlayerInterface *player, QObject *parent)
    : KLPlayback(player, parent)
{
    m_threshold = 0.95;
    m_callbackSerial = living().add(this);
    m_bitrateTimer = new QTimer(this);
    m_bitrateTimer->setInterval(KL_PLAYBACK_COEF_INTERVAL_MS);
    connect(m_bitrateTimer, &QTimer::timeout, this, &KLBassPlayback::checkMeasuredBitrate);
}

uint KLBassPlayback::standardBitrate(double bitsPerSecond)
{
    static constexpr uint rates[] = {8,  16,  24,  32,  40,  48,  56,  64, 80,
                                     96, 112, 128, 160, 192, 224, 256, 320};
    const double kbps = bitsPerSecond / 1000;
    if (kbps > 352) // beyond the table (lossless, for example): in steps of 32 kbit/s
        return uint(std::lround(kbps / 32)) * 32000;
    uint best = rates[0];
    for (const uint rate : rates) {
        if (std::abs(kbps - rate) < std::abs(kbps - best))
            best = rate;
    }
    return best * 1000;
}

KLBassPlayback::~KLBassPlayback()
{
    living().remove(m_callbackSerial);
}

HSTREAM KLBassPlayback::start(QWORD startPos)
{
    KLPlayerInterface *owner = player();
    if (!owner || !owner->nam())
        return 0;

    KLPlayback::start(startPos);

    if (playerStreams().isEmpty())
        return 0;

    const uint bitrate = owner->bitrateByCoef(m_bitrateCoef);
    const QUrl url = owner->streamByBitrate(bitrate);
    updateCurrentBitrate(bitrate);

    const KLNetworkAccessManager *nam = owner->nam();
    const QByteArray address = KLBass::formatStreamUrl(url, nam->userAgent(), nam->referer(),
                                                       nam->quorviaUserId(), nam->quorviaUtmMark());

    KLBass::setVerifyNetSize(startPos == 0 ? KL_VERIFY_NET_SIZE : KL_VERIFY_NET_SIZE_SEEK);

    HSTREAM handle = BASS_StreamCreateURL(address.constData(), static_cast<DWORD>(startPos),
                                          BASS_STREAM_AUTOFREE, &KLBassPlayback::downloadProc,
                                          KLCallbackRegistry::userData(m_callbackSerial));
    if (!handle) {
        const QString urlError = KLBass::errorMessage();
        const QByteArray path = url.toLocalFile().toUtf8();
        handle = BASS_StreamCreateFile(FALSE, path.constData(), startPos, 0, BASS_STREAM_AUTOFREE);
        if (!handle) {
            qCDebug(klLog) << owner->playerName() << "Bass playback: Can not create url ("
                           << urlError << ") and file stream (" << KLBass::errorMessage()
                           << ") Url:" << KLCredentials::redacted(url);
            return 0;
        }
    } else if (const QWORD end = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_END);
               end != QWORD(-1) && end > BASS_NET_KEEP_WHOLE_MAX) {
        // The engine keeps only what lies ahead of the decoder of such a file.
        qCInfo(klLog) << owner->playerName() << "Bass playback: file of" << end
                      << "bytes is too long to keep whole, seeking back reconnects";
    }

    if (!BASS_ChannelSetSync(handle, BASS_SYNC_META, 0, &KLBassPlayback::metaSync,
                             KLCallbackRegistry::userData(m_callbackSerial))) {
        qCWarning(klLog) << owner->playerName() << "Bass playback: Can not set meta sync"
                         << KLBass::errorMessage();
    }

    emit metaUpdated(streamReadMeta(handle));

    m_bitrateTimer->stop();
    m_measuredStream = hasStandInBitrate(handle) ? handle : 0;
    if (m_measuredStream)
        m_bitrateTimer->start();

    m_downloadedBytes.store(0, std::memory_order_relaxed);
    m_speedClock.start();
    return handle;
}

void KLBassPlayback::stop()
{
    KLPlayback::stop();
    m_bitrateTimer->stop();
    m_measuredStream = 0;
    m_speedClock.invalidate();
    m_downloadedBytes.store(0, std::memory_order_relaxed);
}

double KLBassPlayback::speedCoef()
{
    // Without a started stream there is no time to measure against.
    if (!m_speedClock.isValid())
        return 0;
    const double seconds = m_speedClock.restart() / 1000.0;
    if (std::abs(seconds) < 1e-12)
        return 0;
    const quint64 bytes = m_downloadedBytes.exchange(0, std::memory_order_relaxed);
    return bytes * 8 / seconds;
}

QString KLBassPlayback::streamReadMeta(HSTREAM handle) const
{
    if (!handle)
        return QString();
    const char *meta = BASS_ChannelGetTags(handle, BASS_TAG_META);
    return meta ? QString::fromUtf8(meta) : QString();
}

bool KLBassPlayback::hasStandInBitrate(HSTREAM handle) const
{
    if (currentBitrate() != KLPlaylistFormat::defaultBitrate || playerStreams().size() != 1)
        return false;
    // An "icy-br" header named the bitrate, even when it is the stand-in's.
    for (const char *tag = BASS_ChannelGetTags(handle, BASS_TAG_HTTP); tag && *tag;
         tag += std::strlen(tag) + 1) {
        if (qstrnicmp(tag, "icy-br:", 7) == 0)
            return false;
    }
    return true;
}

void KLBassPlayback::checkMeasuredBitrate()
{
    float kbps = 0;
    if (!BASS_ChannelGetAttribute(m_measuredStream, BASS_ATTRIB_BITRATE, &kbps)) {
        m_bitrateTimer->stop(); // the stream is gone
        return;
    }
    if (kbps <= 0)
        return;
    m_bitrateTimer->stop();
    const uint bitrate = standardBitrate(double(kbps) * 1000);
    KLPlayerInterface *owner = player();
    if (owner)
        qCDebug(klLog) << owner->playerName() << "Bass playback: measured bitrate" << kbps
                       << "kbit/s, listed at" << bitrate;
    if (bitrate == currentBitrate())
        return;
    emit bitrateMeasured(bitrate);
    updateCurrentBitrate(bitrate);
}

void KLBassPlayback::streamUpdateMeta()
{
    KLPlayerInterface *owner = player();
    emit metaUpdated(streamReadMeta(owner ? owner->stream() : 0));
}

void KLBassPlayback::streamDownloaded(uint bytes)
{
    m_downloadedBytes.fetch_add(bytes, std::memory_order_relaxed);
    addReceivedBytes(bytes);
}

void KLBassPlayback::downloadProc(const void *buffer, DWORD length, void *user)
{
    Q_UNUSED(buffer)
    living().with<KLBassPlayback>(
        user, [length](KLBassPlayback *backend) { backend->streamDownloaded(length); });
}

void KLBassPlayback::metaSync(HSYNC handle, DWORD channel, DWORD data, void *user)
{
    Q_UNUSED(handle)
    Q_UNUSED(channel)
    Q_UNUSED(data)
    // The player and its current handle belong to the player's thread: read them there. The
    // call is posted by name, so that nothing made on this thread is read on the other.
    living().with<KLBassPlayback>(user, [](KLBassPlayback *backend) {
        QMetaObject::invokeMethod(backend, "streamUpdateMeta", Qt::QueuedConnection);
    });
}
