#include "klhlsplayback.h"

#include "klbass.h"
#include "klhlschunkdownloader.h"
#include "klhlsdemuxer.h"
#include "klhlsplaylistupdater.h"
#include "klhlssegmentresources.h"
#include "kllogging.h"
#include "klplayerinterface.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {
constexpr DWORD noMoreData = DWORD(-1);
constexpr double coefThreshold = 0.9;
constexpr double coefStep = 0.04;
} // namespace

// What the engine's file procedures hold instead of the back-end itself: a stream may outlive
// its back-end, and its reads must then find it gone rather than freed.
struct KLHlsPlayback::ReadGate
{
    std::mutex mutex;
    std::condition_variable idle;
    KLHlsPlayback *playback = nullptr;
    int reads = 0;
    // The holder handed to the engine's stream creation until the engine has either taken it
    // or closed it; one that is still here after a failed creation was never taken.
    std::shared_ptr<ReadGate> *unclaimed = nullptr;
};

KLHlsPlayback::KLHlsPlayback(KLPlayerInterface *player, QObject *parent)
    : KLPlayback(player, parent)
    , m_updater(new KLHlsPlaylistUpdater(player, this))
    , m_downloader(new KLHlsChunkDownloader(player, this))
    , m_demuxer(new KLHlsDemuxer(this))
    , m_resources(new KLHlsSegmentResources(player, this))
    , m_metaTimer(new QTimer(this))
    , m_gate(std::make_shared<ReadGate>())
{
    m_gate->playback = this;
    m_threshold = coefThreshold;
    m_step = coefStep;
    m_metaTimer->setInterval(KL_HLS_META_CHECK_MS);

    connect(this, &KLPlayback::restartRequired, this, &KLHlsPlayback::changePlaylistUpaterUrl);
    connect(m_updater, &KLHlsPlaylistUpdater::playlistUpdated, this,
            &KLHlsPlayback::updatePlaylist);
    connect(m_updater, &KLHlsPlaylistUpdater::isActiveChanged, this, [this](bool isActive) {
        QMutexLocker locker(&m_mutex);
        m_updaterActive = isActive;
        m_dataCondition.wakeAll();
    });
    connect(m_updater, &KLHlsPlaylistUpdater::wasUpdatedChanged, this, [this](bool wasUpdated) {
        QMutexLocker locker(&m_mutex);
        m_updaterWasUpdated = wasUpdated;
        m_dataCondition.wakeAll();
    });
    connect(m_updater, &KLHlsPlaylistUpdater::playlistMaxReadErrorsCountReached, this,
            [this] { emit error(QStringLiteral("Hls playlist max read errors count reached")); });
    connect(m_downloader, &KLHlsChunkDownloader::downloadingDone, this,
            &KLHlsPlayback::demuxChunkData);
    connect(m_downloader, &KLHlsChunkDownloader::downloadingError, this,
            &KLHlsPlayback::downloadNextChunk);
    connect(m_metaTimer, &QTimer::timeout, this, &KLHlsPlayback::releaseDueMetadata);
    // A key or an initialization segment has come: the segment that waited for it can follow.
    connect(m_resources, &KLHlsSegmentResources::ready, this, [this] {
        if (!m_downloader->isDownloading())
            downloadNextChunk();
    });
    connect(m_resources, &KLHlsSegmentResources::error, this, &KLHlsPlayback::error);
}

KLHlsPlayback::~KLHlsPlayback()
{
    {
        QMutexLocker locker(&m_mutex);
        m_closing = true;
        m_dataCondition.wakeAll();
    }
    std::unique_lock lock(m_gate->mutex);
    m_gate->playback = nullptr;
    m_gate->idle.wait(lock, [this] { return m_gate->reads == 0; });
}

void KLHlsPlayback::setNoDataTimeoutMs(int noDataTimeoutMs)
{
    QMutexLocker locker(&m_mutex);
    m_noDataTimeoutMs = noDataTimeoutMs;
}

void KLHlsPlayback::setMetaCheckMs(int metaCheckMs)
{
    m_metaTimer->setInterval(metaCheckMs);
}

HSTREAM KLHlsPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos) // segments do not seek
    KLPlayerInterface *owner = player();
    if (!owner)
        return 0;
    KLPlayback::start(startPos);

    const KLPlaylistStreams streams = playerStreams();
    QString lastText;
    {
        QMutexLocker locker(&m_mutex);
        // The stream before this one was read to its end: its texts are due.
        if (!m_pendingMetas.isEmpty())
            lastText = m_pendingMetas.constLast().second;
        m_pendingMetas.clear();
        m_sectionEnded = false;
        m_streamBytes = 0;
        if (streams != m_streams) {
            m_delivered = false;
            m_chunks.clear();
            m_playlistEnded = false;
            lastText.clear();
            m_dataCondition.wakeAll();
        }
    }
    if (streams != m_streams)
        m_resources->clear();
    m_resources->resetFailures();
    m_streams = streams;
    if (m_streams.isEmpty())
        return 0;

    const uint bitrate = owner->bitrateByCoef(m_bitrateCoef);
    updateCurrentBitrate(bitrate);
    m_updater->changePlaylist(bitrate, owner->streamByBitrate(bitrate));
    emit metaUpdated(lastText);
    m_metaTimer->start();

    KLBass::setVerifyNetSize(4096);
    // The procedures keep the gate alive until the engine closes the stream.
    const BASS_FILEPROCS procs{&KLHlsPlayback::bassCloseProc, &KLHlsPlayback::bassLenProc,
                               &KLHlsPlayback::bassReadProc, &KLHlsPlayback::bassSeekProc};
    auto *holder = new std::shared_ptr<ReadGate>(m_gate);
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->unclaimed = holder;
    }
    const HSTREAM handle = BASS_StreamCreateFileUser(
        STREAMFILE_BUFFER, BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE, &procs, holder);
    std::unique_lock lock(m_gate->mutex);
    // A creation that failed before the engine took the holder leaves it to us; one that failed
    // later has closed it already.
    const bool untaken = !handle && m_gate->unclaimed == holder;
    m_gate->unclaimed = nullptr;
    lock.unlock();
    if (untaken)
        delete holder;
    return handle;
}

void KLHlsPlayback::stop()
{
    KLPlayback::stop();
    m_metaTimer->stop();
    m_updater->resetPlaylist();
    m_downloader->abort();
    {
        QMutexLocker locker(&m_mutex);
        m_delivered = false;
        // A chunk read in part is read again from its start.
        for (KLHlsChunk &chunk : m_chunks) {
            if (chunk.readPosition < chunk.data.size())
                chunk.readPosition = 0;
        }
        // After a discontinuity the stream was read to its end: its texts stay for the next
        // start to publish. Texts of a stream stopped on its way never become due.
        if (!m_sectionEnded)
            m_pendingMetas.clear();
        m_downloadHeld = false;
        m_dataCondition.wakeAll();
    }
}

bool KLHlsPlayback::isFinished()
{
    QMutexLocker locker(&m_mutex);
    return isFinishedLocked();
}

bool KLHlsPlayback::isFinishedLocked() const
{
    if (!m_playlistEnded || m_chunks.isEmpty())
        return false;
    return std::all_of(m_chunks.cbegin(), m_chunks.cend(), [](const KLHlsChunk &chunk) {
        return chunk.isDownloaded && chunk.readPosition >= chunk.data.size();
    });
}

void KLHlsPlayback::changePlaylistUpaterUrl(uint currentBitrate)
{
    KLPlayerInterface *owner = player();
    if (!owner)
        return;
    m_updater->changePlaylist(currentBitrate, owner->streamByBitrate(currentBitrate));
}

void KLHlsPlayback::updatePlaylist(QMap<quint32, KLHlsChunk> chunks)
{
    {
        QMutexLocker locker(&m_mutex);
        m_playlistEnded = m_updater->isEnded();
        const bool hasLowerBound = !m_chunks.isEmpty();
        const quint32 lowerBound = hasLowerBound ? m_chunks.firstKey() : 0;
        for (auto it = chunks.cbegin(); it != chunks.cend(); ++it) {
            auto held = m_chunks.find(it.key());
            if (held != m_chunks.end()) {
                if (!held->isDownloaded) {
                    held->sequence = it->sequence;
                    held->duration = it->duration;
                    held->bitrate = it->bitrate;
                    held->url = it->url;
                    held->mapUrl = it->mapUrl;
                    held->keyMethod = it->keyMethod;
                    held->keyUrl = it->keyUrl;
                    held->keyIv = it->keyIv;
                    held->isDiscontinuity = held->isDiscontinuity || it->isDiscontinuity;
                }
            } else if (!hasLowerBound || it.key() > lowerBound) {
                m_chunks.insert(it.key(), it.value());
            }
        }
        // A change of variant starts a new section.
        quint32 previousBitrate = 0;
        bool first = true;
        for (KLHlsChunk &chunk : m_chunks) {
            if (!first && chunk.bitrate != previousBitrate)
                chunk.isDiscontinuity = true;
            previousBitrate = chunk.bitrate;
            first = false;
        }
        // Chunks that slid out of the playlist: once reading has begun every one that is not
        // being read goes; before that, only those that have not arrived and are not on their
        // way. A failed one waiting to be retried is not on its way: kept, it would be retried
        // for good and hold up the start.
        for (auto it = m_chunks.begin(); it != m_chunks.end();) {
            const bool partlyRead = it->readPosition > 0 && it->readPosition < it->data.size();
            const bool onItsWay = m_downloader->isDownloading() && !m_downloader->hasFailed() &&
                                  m_downloader->downloadingUrl() == it->url;
            const bool drop = !chunks.contains(it.key()) && !partlyRead &&
                              (m_delivered || (!it->isDownloaded && !onItsWay));
            if (drop) {
                if (m_downloader->isDownloading() && m_downloader->downloadingUrl() == it->url)
                    m_downloader->abort();
                it = m_chunks.erase(it);
            } else {
                ++it;
            }
        }
        m_dataCondition.wakeAll();
    }
    if (!m_downloader->isDownloading())
        downloadNextChunk();
}

const KLHlsChunk *KLHlsPlayback::nextToDownloadLocked()
{
    int aheadSegments = 0;
    double aheadSeconds = 0;
    for (const KLHlsChunk &chunk : std::as_const(m_chunks)) {
        if (chunk.isDownloaded) {
            // Waiting to be read, not begun: the one being read is the read position.
            if (chunk.readPosition == 0 && !chunk.data.isEmpty()) {
                ++aheadSegments;
                aheadSeconds += chunk.duration;
            }
            continue;
        }
        m_downloadHeld = aheadSegments >= KL_HLS_MAX_AHEAD_SEGMENTS ||
                         aheadSeconds * 1000.0 >= KL_HLS_MAX_AHEAD_MS;
        return m_downloadHeld ? nullptr : &chunk;
    }
    m_downloadHeld = false;
    return nullptr;
}

void KLHlsPlayback::downloadNextChunk()
{
    QUrl next;
    double duration = 0;
    KLHlsChunk needs;
    {
        QMutexLocker locker(&m_mutex);
        if (const KLHlsChunk *chunk = nextToDownloadLocked()) {
            next = chunk->url;
            duration = chunk->duration;
            needs = *chunk;
        }
    }
    // Its key and initialization segment first; ready() brings it back here.
    if (!next.isEmpty() && m_resources->prepare(needs)) {
        m_downloadDuration = duration;
        m_downloadTimer.start();
        m_downloader->download(next);
    }
}

void KLHlsPlayback::demuxChunkData(QUrl url, QByteArray mpegts)
{
    addReceivedBytes(quint64(mpegts.size()));
    QString failure;
    {
        QMutexLocker locker(&m_mutex);
        bool matched = false;
        for (KLHlsChunk &chunk : m_chunks) {
            if (chunk.url != url)
                continue;
            chunk.isDownloaded = true;
            QByteArray plain;
            if (!m_resources->plainSegment(chunk, mpegts, &plain, &failure))
                break;
            m_demuxer->demux(chunk, plain, m_resources->initSegment(chunk));
            if (m_downloadTimer.isValid() && chunk.duration > 0) {
                const double seconds = qMax(0.001, m_downloadTimer.elapsed() / 1000.0);
                m_lastSpeed = chunk.duration / seconds;
            }
            matched = true;
        }
        if (matched)
            m_dataCondition.wakeAll();
    }
    m_downloadTimer.invalidate();
    if (!failure.isEmpty()) {
        // Noise is never played: the stream ends here.
        KLPlayerInterface *owner = player();
        qCWarning(klLog) << (owner ? owner->playerName() : QString()) << failure;
        emit error(failure);
        return;
    }
    downloadNextChunk();
}

bool KLHlsPlayback::hasDataToReadLocked() const
{
    return std::any_of(m_chunks.cbegin(), m_chunks.cend(), [](const KLHlsChunk &chunk) {
        return chunk.isDownloaded && chunk.readPosition < chunk.data.size();
    });
}

bool KLHlsPlayback::hasDataToRead()
{
    QMutexLocker locker(&m_mutex);
    return hasDataToReadLocked();
}

double KLHlsPlayback::speedCoef()
{
    if (hasDataToRead())
        return 1.0;
    double speed = m_lastSpeed;
    // A download that has already taken longer than the last one's pace counts at once (it
    // may never finish if the segment slides out meanwhile).
    if (m_downloader->isDownloading() && m_downloadTimer.isValid() && m_downloadDuration > 0) {
        const double seconds = m_downloadTimer.elapsed() / 1000.0;
        if (seconds > 0)
            speed = std::min(speed, m_downloadDuration / seconds);
    }
    return std::clamp(speed - 1.0, 0.0, 1.0);
}

QWORD KLHlsPlayback::streamFilePosCurrent() const
{
    KLPlayerInterface *owner = player();
    const HSTREAM handle = owner ? owner->stream() : 0;
    if (!handle)
        return 0;
    const QWORD value = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_CURRENT);
    return value == QWORD(-1) ? 0 : value;
}

void KLHlsPlayback::releaseDueMetadata()
{
    {
        // Most ticks have no text waiting: they leave the engine alone.
        QMutexLocker locker(&m_mutex);
        if (m_pendingMetas.isEmpty())
            return;
    }
    const QWORD current = streamFilePosCurrent();
    QStringList due;
    {
        QMutexLocker locker(&m_mutex);
        while (!m_pendingMetas.isEmpty() && m_pendingMetas.constFirst().first <= current)
            due << m_pendingMetas.takeFirst().second;
    }
    for (const QString &text : std::as_const(due))
        emit metaUpdated(text);
}

bool KLHlsPlayback::waitForData(const QDeadlineTimer &deadline)
{
    if (m_dataCondition.wait(&m_mutex, deadline))
        return true;
    KLPlayerInterface *owner = player();
    qCWarning(klLog) << (owner ? owner->playerName() : QString())
                     << "Hls playback: chunks was empty for too long";
    return false;
}

KLHlsChunk *KLHlsPlayback::nextToReadLocked(const QDeadlineTimer &deadline)
{
    KLHlsChunk *chunk = nullptr;
    while (!m_closing && m_updaterActive && !m_chunks.isEmpty()) {
        for (KLHlsChunk &candidate : m_chunks) {
            if (!candidate.isDownloaded)
                break;
            if (candidate.readPosition < candidate.data.size()) {
                chunk = &candidate;
                break;
            }
        }
        if (chunk || isFinishedLocked())
            break;
        if (!waitForData(deadline))
            return nullptr;
    }
    return chunk;
}

void KLHlsPlayback::queueMetasLocked(const KLHlsChunk &chunk, qint32 oldPosition, qint32 n)
{
    // Texts keyed at the segment's length come with its last byte.
    const qint64 size = chunk.data.size();
    const qint64 rangeEnd = oldPosition + n == size ? size + 1 : oldPosition + n;
    for (auto it = chunk.metas.cbegin(); it != chunk.metas.cend(); ++it) {
        if (qint64(it.key()) >= oldPosition && qint64(it.key()) < rangeEnd) {
            const quint64 position =
                m_streamBytes + quint64(qMin<qint64>(it.key(), size)) - quint64(oldPosition);
            m_pendingMetas.append({position, it.value()});
        }
    }
    std::stable_sort(m_pendingMetas.begin(), m_pendingMetas.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
}

DWORD KLHlsPlayback::streamRead(void *buffer, DWORD length)
{
    KLPlayerInterface *owner = player();
    if (!owner)
        return noMoreData;
    QMutexLocker locker(&m_mutex);
    if (QThread::currentThread() == thread()) {
        qCWarning(klLog) << owner->playerName()
                         << "Hls playback: can not read from playback thread";
        return noMoreData;
    }
    if (m_closing)
        return noMoreData;
    // One limit for the whole read: playlist reloads wake the reader without bringing data.
    const QDeadlineTimer deadline(m_noDataTimeoutMs);
    if (!hasDataToReadLocked() && !m_updaterWasUpdated && m_updaterActive) {
        if (!waitForData(deadline))
            return noMoreData;
    }

    KLHlsChunk *chunk = nextToReadLocked(deadline);
    if (!chunk || m_closing || !m_updaterActive)
        return noMoreData;

    if (m_delivered && chunk->isDiscontinuity && chunk->readPosition == 0) {
        // The new section plays in a stream of its own.
        m_delivered = false;
        m_sectionEnded = true;
        return noMoreData;
    }

    const qint32 oldPosition = chunk->readPosition;
    if (oldPosition == 0 && m_downloadHeld) {
        // This segment leaves the look-ahead: the next one may come.
        m_downloadHeld = false;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_downloader->isDownloading())
                    downloadNextChunk();
            },
            Qt::QueuedConnection);
    }
    const qint32 n = qint32(qMin<qint64>(length, chunk->data.size() - oldPosition));
    std::memcpy(buffer, chunk->data.constData() + oldPosition, size_t(n));
    chunk->readPosition += n;

    queueMetasLocked(*chunk, oldPosition, n);
    const qint64 size = chunk->data.size();
    m_streamBytes += quint64(n);
    // A segment read to its end is not needed again: keep its record, not its bytes.
    if (chunk->readPosition >= size) {
        chunk->data = QByteArray();
        chunk->metas.clear();
    }
    m_delivered = true;
    return DWORD(n);
}

// Reads that wait for segments while streams are being created. A pool of their own: such a
// read may wait for seconds, and players that start together must neither wait for one another
// nor hold up the application's pool.
static QThreadPool *readPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(256);
        return p;
    }();
    return pool;
}

DWORD KLHlsPlayback::nestedStreamRead(void *buffer, DWORD length)
{
    // The engine reads while it creates the stream, on this thread: read on the pool and keep
    // this thread's events (downloads, playlist loads) going meanwhile.
    QFutureWatcher<DWORD> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run(
        readPool(), [this, buffer, length] { return streamRead(buffer, length); }));
    if (!watcher.isFinished())
        loop.exec();
    if (watcher.isFinished())
        return watcher.result();
    KLPlayerInterface *owner = player();
    qCWarning(klLog) << (owner ? owner->playerName() : QString())
                     << "Hls playback: Read future was not finished";
    stop();
    watcher.waitForFinished();
    return noMoreData;
}

void KLHlsPlayback::bassCloseProc(void *user)
{
    auto *holder = static_cast<std::shared_ptr<ReadGate> *>(user);
    {
        std::lock_guard lock((*holder)->mutex);
        if ((*holder)->unclaimed == holder)
            (*holder)->unclaimed = nullptr;
    }
    delete holder;
}

QWORD KLHlsPlayback::bassLenProc(void *user)
{
    Q_UNUSED(user)
    return 0;
}

BOOL KLHlsPlayback::bassSeekProc(QWORD offset, void *user)
{
    Q_UNUSED(offset)
    Q_UNUSED(user)
    return FALSE;
}

DWORD KLHlsPlayback::bassReadProc(void *buffer, DWORD length, void *user)
{
    ReadGate &gate = **static_cast<std::shared_ptr<ReadGate> *>(user);
    KLHlsPlayback *playback = nullptr;
    {
        std::lock_guard lock(gate.mutex);
        playback = gate.playback;
        if (!playback)
            return noMoreData;
        ++gate.reads;
    }
    DWORD result = noMoreData;
    if (QThread::currentThread() == playback->thread())
        result = playback->nestedStreamRead(buffer, length);
    else
        result = playback->streamRead(buffer, length);
    {
        std::lock_guard lock(gate.mutex);
        --gate.reads;
    }
    gate.idle.notify_all();
    return result;
}
