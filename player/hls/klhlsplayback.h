#pragma once

#include "klhlschunk.h"
#include "klplayback.h"
#include "klplayerglobal.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QWaitCondition>

#include <memory>

class QTimer;
class KLHlsChunkDownloader;
class KLHlsDemuxer;
class KLHlsPlaylistUpdater;
class KLHlsSegmentResources;
class KLPlayerInterface;

// Back-end for HLS streams (master and media playlists). Plays the segments of the chosen
// variant, in sequence order, as one buffered user-file stream of the engine, which decodes
// them (transport stream with AAC or MP3, packed AAC or MP3, or fragmented MP4 turned into
// packed audio by the demuxer; AES-128 encrypted segments are decrypted first, with the key and
// initialization segment fetched before the segment itself). The engine reads on a thread of
// its own and waits there while no segment has arrived. A discontinuity (in the playlist, or a
// change of variant) ends the stream before its first byte; the player starts it again, and the
// new stream begins with that segment. Timed metadata of a segment is published once the engine
// has read past the segment. The variant follows the base class's bitrate coefficient, switched
// by following another playlist without restarting the stream.
class KELVANEPLAYER_EXPORT KLHlsPlayback : public KLPlayback
{
    Q_OBJECT

public:
    // How long the engine's read waits for a segment before the stream ends.
    static constexpr int KL_HLS_NO_DATA_TIMEOUT_MS = 30000;
    // How often pending metadata is compared with the engine's read position.
    static constexpr int KL_HLS_META_CHECK_MS = 250;
    // Look-ahead: segments are fetched ahead of the one being read until this many wait to be
    // read, or this much play time, whichever comes first.
    static constexpr int KL_HLS_MAX_AHEAD_SEGMENTS = 3;
    static constexpr int KL_HLS_MAX_AHEAD_MS = 60000;

    KLHlsPlayback(KLPlayerInterface *player, QObject *parent = nullptr);
    // Ends every read in progress and waits for it; later reads of a stream that outlives the
    // back-end report the end.
    ~KLHlsPlayback() override;

    // The playlist is complete and every segment of it has been read: the stream is over.
    bool isFinished();

    KLHlsPlaylistUpdater *updater() const { return m_updater; }
    KLHlsChunkDownloader *downloader() const { return m_downloader; }
    // Shortens the wait for data (tests).
    void setNoDataTimeoutMs(int noDataTimeoutMs);
    // Changes the period of the metadata check (tests).
    void setMetaCheckMs(int metaCheckMs);
    // Holders of the engine's read gate: this back-end and each stream that the engine has not
    // closed yet (tests).
    long readGateHolders() const { return m_gate.use_count(); }

signals:
    // A failure of the HLS stream that ends playback; the player turns it into its error state.
    void error(QString errorMessage);

public slots:
    HSTREAM start(QWORD startPos) override;
    HSTREAM start() { return start(0); }
    void stop() override;

protected:
    // 1 while downloaded segments wait to be read; otherwise how much faster than real time
    // segments arrive (the last one, or the one under way if it is slower), less one, between
    // 0 and 1.
    double speedCoef() override;

private slots:
    void changePlaylistUpaterUrl(uint currentBitrate);
    void updatePlaylist(QMap<quint32, KLHlsChunk> chunks);
    void downloadNextChunk();
    void demuxChunkData(QUrl url, QByteArray mpegts);
    void releaseDueMetadata();

private:
    struct ReadGate;

    bool hasDataToRead();
    bool hasDataToReadLocked() const;
    bool isFinishedLocked() const;
    DWORD streamRead(void *buffer, DWORD length);
    // The steps of streamRead(): the first downloaded segment with bytes left to read, waiting
    // for one until deadline (null when none comes or playback ends); the metadata texts of
    // the n bytes read from oldPosition on, queued at their place in the stream.
    KLHlsChunk *nextToReadLocked(const QDeadlineTimer &deadline);
    void queueMetasLocked(const KLHlsChunk &chunk, qint32 oldPosition, qint32 n);
    DWORD nestedStreamRead(void *buffer, DWORD length);
    // The first segment still to download, unless the look-ahead is full (then empty, and
    // the download is held until the reader takes a segment).
    const KLHlsChunk *nextToDownloadLocked();
    // Waits on the data condition; false (with the warning) once deadline has passed.
    bool waitForData(const QDeadlineTimer &deadline);
    QWORD streamFilePosCurrent() const;

    static void bassCloseProc(void *user);
    static QWORD bassLenProc(void *user);
    static DWORD bassReadProc(void *buffer, DWORD length, void *user);
    static BOOL bassSeekProc(QWORD offset, void *user);

    KLHlsPlaylistUpdater *m_updater = nullptr;
    KLHlsChunkDownloader *m_downloader = nullptr;
    KLHlsDemuxer *m_demuxer = nullptr;
    KLHlsSegmentResources *m_resources = nullptr;
    QTimer *m_metaTimer = nullptr;
    KLPlaylistStreams m_streams;
    std::shared_ptr<ReadGate> m_gate;
    // Download speed of the last segment, as a multiple of real time.
    double m_lastSpeed = 2.0;
    // Play time of the segment being downloaded, and how long its download has taken.
    double m_downloadDuration = 0;
    QElapsedTimer m_downloadTimer;

    // Guarded by m_mutex.
    QMutex m_mutex;
    QWaitCondition m_dataCondition;
    bool m_delivered = false;
    KLHlsChunkMap m_chunks;
    // Metadata texts waiting for the engine's read position to reach theirs.
    QList<QPair<quint64, QString>> m_pendingMetas;
    // Bytes handed to the current stream.
    quint64 m_streamBytes = 0;
    bool m_updaterActive = false;
    bool m_updaterWasUpdated = false;
    bool m_playlistEnded = false;
    bool m_closing = false;
    // The stream ended at a discontinuity: it was read to its end, so its texts are due.
    bool m_sectionEnded = false;
    // A download waits until the reader has taken a segment of the look-ahead.
    bool m_downloadHeld = false;
    int m_noDataTimeoutMs = KL_HLS_NO_DATA_TIMEOUT_MS;
};
