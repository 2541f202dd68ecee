// Streams fed by the caller: push streams, user file procedures whose reads block, position
// syncs, and metadata handed to a stream at an encoded byte offset.

#include "enginetestutil.h"

#include "streamfactory.h"

#include <bass.h>

#include <QFile>
#include <QTest>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

using namespace enginetest;

namespace {

// 440 Hz at amplitude 0.5, 16-bit stereo.
QByteArray toneFrames(int frames, int rate = 44100, int64_t start = 0)
{
    QByteArray out(frames * 4, Qt::Uninitialized);
    auto *s = reinterpret_cast<int16_t *>(out.data());
    for (int i = 0; i < frames; ++i) {
        const double t = double(start + i) / rate;
        const auto v = int16_t(std::lround(0.5 * 32767 * std::sin(2 * M_PI * 440 * t)));
        s[2 * i] = s[2 * i + 1] = v;
    }
    return out;
}

// File procedures over a byte array that is released piece by piece; reads block until data
// is released or the end is declared.
struct GatedFile
{
    QByteArray data;
    qsizetype released = 0;
    qsizetype position = 0;
    bool end = false;
    bool endByFailure = false; // the end is reported as -1 instead of 0
    bool closed = false;
    std::thread::id firstReader; // the format is read on the thread that creates the stream
    std::mutex mutex;
    std::condition_variable cv;

    void release(qsizetype upTo, bool atEnd = false)
    {
        {
            std::lock_guard lock(mutex);
            released = std::min(upTo, data.size());
            end = atEnd;
        }
        cv.notify_all();
    }
    bool isClosed()
    {
        std::lock_guard lock(mutex);
        return closed;
    }

    static void close(void *user)
    {
        auto *f = static_cast<GatedFile *>(user);
        std::lock_guard lock(f->mutex);
        f->closed = true;
    }
    static QWORD length(void *) { return 0; }
    static DWORD read(void *buffer, DWORD length, void *user)
    {
        auto *f = static_cast<GatedFile *>(user);
        std::unique_lock lock(f->mutex);
        if (f->firstReader == std::thread::id())
            f->firstReader = std::this_thread::get_id();
        f->cv.wait(lock, [&] { return f->position < f->released || f->end; });
        const qsizetype n = std::min<qsizetype>(length, f->released - f->position);
        if (n <= 0)
            return f->endByFailure ? DWORD(-1) : 0; // the end
        std::memcpy(buffer, f->data.constData() + f->position, size_t(n));
        f->position += n;
        return DWORD(n);
    }
    static BOOL seek(QWORD, void *) { return FALSE; }
};

// A ByteSource over a byte array (for the internal stream factory).
class ArraySource : public engine::ByteSource
{
public:
    explicit ArraySource(QByteArray data)
        : m_data(std::move(data))
    {}
    int64_t read(uint8_t *buffer, int64_t size) override
    {
        const int64_t n = std::min<int64_t>(size, m_data.size() - m_pos.load());
        if (m_aborted.load())
            return -1;
        if (n <= 0)
            return 0;
        std::memcpy(buffer, m_data.constData() + m_pos.load(), size_t(n));
        m_pos += n;
        return n;
    }
    bool seek(int64_t) override { return false; }
    int64_t length() const override { return -1; }
    int64_t position() const override { return m_pos.load(); }
    int64_t available() const override { return m_data.size(); }
    void abort() override { m_aborted = true; }

private:
    QByteArray m_data;
    std::atomic<int64_t> m_pos{0};
    std::atomic<bool> m_aborted{false};
};

} // namespace

class tst_EngineSources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void pushStreamPlaysAndEnds();
    void pushStreamStallsAndResumes();
    void mixtimeSyncHandsOver_data();
    void mixtimeSyncHandsOver();
    void pushLimit();
    void pushPartialFramesAndEndRules();
    void procStream();
    void userFileReadThatBlocks_data();
    void userFileReadThatBlocks();
    void userFileSeekable();
    void positionSyncs();
    void metadataFiresWhenPlayed();

private:
    QTemporaryDir m_dir;
    QString m_mp3;
    QString m_wav;
    QString m_ts;
    QString m_tsMp3;
};

void tst_EngineSources::initTestCase()
{
    m_mp3 = makeTone(m_dir, QStringLiteral("tone.mp3"), 3, {"-b:a", "128k"});
    m_wav = makeTone(m_dir, QStringLiteral("tone.wav"), 3, wavArgs());
    m_ts = makeTone(m_dir, QStringLiteral("tone.ts"), 3, {"-c:a", "aac", "-f", "mpegts"});
    m_tsMp3 = makeTone(m_dir, QStringLiteral("tone-mp3.ts"), 3,
                       {"-c:a", "libmp3lame", "-b:a", "128k", "-f", "mpegts"});
    if (m_mp3.isEmpty() || m_wav.isEmpty() || m_ts.isEmpty() || m_tsMp3.isEmpty())
        QSKIP("the ffmpeg program is needed to generate test audio");
    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

void tst_EngineSources::cleanupTestCase()
{
    BASS_Free();
}

void tst_EngineSources::pushStreamPlaysAndEnds()
{
    const HSTREAM h = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(h);
    BASS_CHANNELINFO info{};
    QVERIFY(BASS_ChannelGetInfo(h, &info));
    QCOMPARE(info.ctype, DWORD(BASS_CTYPE_STREAM_PUSH));
    QCOMPARE(BASS_ChannelGetLength(h, BASS_POS_BYTE), QWORD(-1)); // live: no length
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_END));
    const QByteArray audio = toneFrames(44100 / 2);
    QCOMPARE(BASS_StreamPutData(h, audio.constData(), DWORD(audio.size())), DWORD(audio.size()));
    QCOMPARE(BASS_StreamPutData(h, nullptr, 0), DWORD(audio.size())); // queued amount
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.1);
    QVERIFY(std::fabs(rmsLevel(h) - 0.3536f) < 0.005);
    QVERIFY(BASS_StreamPutData(h, nullptr, BASS_STREAMPROC_END) != DWORD(-1));
    QCOMPARE(BASS_StreamPutData(h, audio.constData(), DWORD(audio.size())), DWORD(-1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 1, 2000);
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
    // Everything queued was played.
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), QWORD(audio.size()));
    QVERIFY(BASS_StreamFree(h));
}

void tst_EngineSources::pushStreamStallsAndResumes()
{
    const HSTREAM h = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(h);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_STALL));
    QVERIFY(syncs.attach(h, BASS_SYNC_END));
    const QByteArray audio = toneFrames(44100 / 5);
    QVERIFY(BASS_StreamPutData(h, audio.constData(), DWORD(audio.size())) != DWORD(-1));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_STALL), 1, 2000);
    QCOMPARE(syncs.dataOf(BASS_SYNC_STALL).front(), DWORD(0));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STALLED));
    const QWORD stalledAt = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
    QCOMPARE(stalledAt, QWORD(audio.size()));
    // While stalled the level is that of the silence that is played.
    QTRY_VERIFY(rmsLevel(h) < 0.001f);
    const QByteArray more = toneFrames(44100);
    QVERIFY(BASS_StreamPutData(h, more.constData(), DWORD(more.size())) != DWORD(-1));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_STALL), 2, 2000);
    QCOMPARE(syncs.dataOf(BASS_SYNC_STALL).back(), DWORD(1));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    QCOMPARE(syncs.count(BASS_SYNC_END), 0);
    QVERIFY(BASS_StreamFree(h));
}

namespace {

// What a mixing-time sync saw when it ran: the thread's name, and whether the event thread had
// already told the normal sync of the same news.
struct HandOver
{
    HSTREAM standby = 0;
    std::atomic<int> calls{0};
    std::atomic<bool> onMixer{false};
    std::atomic<bool> eventFirst{false};
    SyncRecorder *events = nullptr;
    DWORD type = 0;
};

void raiseStandby(HSYNC, DWORD, DWORD data, void *user)
{
    auto *h = static_cast<HandOver *>(user);
    if (data != 0)
        return; // a resumption
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    h->onMixer = std::string_view(name) == "kl-mixer";
    h->eventFirst = h->events->count(h->type) > 0;
    BASS_ChannelSetAttribute(h->standby, BASS_ATTRIB_VOL, 1.0f);
    ++h->calls;
}

} // namespace

void tst_EngineSources::mixtimeSyncHandsOver_data()
{
    QTest::addColumn<DWORD>("type");
    QTest::newRow("stall") << DWORD(BASS_SYNC_STALL);
    QTest::newRow("end") << DWORD(BASS_SYNC_END);
}

void tst_EngineSources::mixtimeSyncHandsOver()
{
    // The heard stream runs dry; the standby is raised on the mixing thread in that very period,
    // before the event thread has even been woken for the news.
    QFETCH(DWORD, type);
    const HSTREAM heard = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    const HSTREAM standby = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(heard && standby);
    SyncRecorder events;
    QVERIFY(events.attach(heard, type));
    HandOver handOver;
    handOver.standby = standby;
    handOver.events = &events;
    handOver.type = type;
    const HSYNC sync =
        BASS_ChannelSetSync(heard, type | BASS_SYNC_MIXTIME, 0, &raiseStandby, &handOver);
    QVERIFY(sync);
    const QByteArray audio = toneFrames(44100 / 5);
    const QByteArray plenty = toneFrames(44100 * 3);
    QVERIFY(BASS_StreamPutData(heard, audio.constData(), DWORD(audio.size())) != DWORD(-1));
    if (type == BASS_SYNC_END)
        QVERIFY(BASS_StreamPutData(heard, nullptr, BASS_STREAMPROC_END) != DWORD(-1));
    QVERIFY(BASS_StreamPutData(standby, plenty.constData(), DWORD(plenty.size())) != DWORD(-1));
    QVERIFY(BASS_ChannelSetAttribute(standby, BASS_ATTRIB_VOL, 0.0f));
    QVERIFY(BASS_ChannelPlay(standby, FALSE));
    QVERIFY(BASS_ChannelPlay(heard, FALSE));
    QTRY_COMPARE_WITH_TIMEOUT(events.count(type), 1, 3000);
    QCOMPARE(handOver.calls.load(), 1);
    QVERIFY(handOver.onMixer);
    QVERIFY(!handOver.eventFirst);
    float volume = 0;
    QVERIFY(BASS_ChannelGetAttribute(standby, BASS_ATTRIB_VOL, &volume));
    QCOMPARE(volume, 1.0f);
    if (type == BASS_SYNC_STALL) {
        // Removed: the next time the heard stream runs dry, nothing is raised.
        QVERIFY(BASS_ChannelRemoveSync(heard, sync));
        QVERIFY(BASS_ChannelSetAttribute(standby, BASS_ATTRIB_VOL, 0.0f));
        QVERIFY(BASS_StreamPutData(heard, audio.constData(), DWORD(audio.size())) != DWORD(-1));
        QTRY_COMPARE_WITH_TIMEOUT(events.count(type), 3, 3000); // resumed, stalled again
        QCOMPARE(handOver.calls.load(), 1);
        QVERIFY(BASS_ChannelGetAttribute(standby, BASS_ATTRIB_VOL, &volume));
        QCOMPARE(volume, 0.0f);
    }
    QVERIFY(BASS_StreamFree(heard));
    QVERIFY(BASS_StreamFree(standby));
}

void tst_EngineSources::pushLimit()
{
    const HSTREAM h = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(h);
    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_PUSH_LIMIT, 1048576));
    float limit = 0;
    QVERIFY(BASS_ChannelGetAttribute(h, BASS_ATTRIB_PUSH_LIMIT, &limit));
    QCOMPARE(limit, 1048576.0f);
    const QByteArray block(262144, '\0');
    for (int i = 0; i < 4; ++i)
        QCOMPARE(BASS_StreamPutData(h, block.constData(), DWORD(block.size())),
                 DWORD(block.size() * (i + 1)));
    // Full: the whole block is refused and nothing is lost from the queue.
    QCOMPARE(BASS_StreamPutData(h, block.constData(), 4), DWORD(-1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_BUSY);
    QCOMPARE(BASS_StreamPutData(h, nullptr, 0), DWORD(1048576));
    // Playing drains it and makes room.
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(BASS_StreamPutData(h, nullptr, 0) <= DWORD(1048576 - 4096));
    QVERIFY(BASS_StreamPutData(h, block.constData(), 4096) != DWORD(-1));
    const HSTREAM file =
        BASS_StreamCreateFile(FALSE, QFile::encodeName(m_wav).constData(), 0, 0, 0);
    QVERIFY(!BASS_ChannelSetAttribute(file, BASS_ATTRIB_PUSH_LIMIT, 1000));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    BASS_StreamFree(file);
    BASS_StreamFree(h);
}

void tst_EngineSources::pushPartialFramesAndEndRules()
{
    const HSTREAM h = BASS_StreamCreate(22050, 1, 0, STREAMPROC_PUSH, nullptr);
    QVERIFY(h);
    const char odd[3] = {0, 0, 0};
    QCOMPARE(BASS_StreamPutData(h, odd, 3), DWORD(-1)); // half a frame
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    QCOMPARE(BASS_StreamPutData(h, odd, 2), DWORD(2));
    QVERIFY(BASS_StreamPutData(h, odd, 2 | BASS_STREAMPROC_END) != DWORD(-1));
    QCOMPARE(BASS_StreamPutData(h, nullptr, BASS_STREAMPROC_END), DWORD(-1));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
    QVERIFY(!BASS_StreamCreate(44100, 9, 0, STREAMPROC_PUSH, nullptr));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FORMAT);
    QVERIFY(!BASS_StreamCreate(10, 2, 0, STREAMPROC_PUSH, nullptr));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FREQ);
    BASS_StreamFree(h);
}

void tst_EngineSources::procStream()
{
    // A stream procedure delivers 0.3 s of tone, then ends.
    struct State
    {
        std::atomic<int64_t> frames{0};
    } state;
    auto proc = [](HSTREAM, void *buffer, DWORD length, void *user) -> DWORD {
        auto *st = static_cast<State *>(user);
        const int64_t start = st->frames.load();
        const int64_t n = std::min<int64_t>(length / 4, 13230 - start);
        const QByteArray audio = toneFrames(int(n), 44100, start);
        std::memcpy(buffer, audio.constData(), size_t(audio.size()));
        st->frames += n;
        return DWORD(audio.size()) | (st->frames.load() >= 13230 ? BASS_STREAMPROC_END : 0);
    };
    const HSTREAM h = BASS_StreamCreate(44100, 2, 0, proc, &state);
    QVERIFY(h);
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_END));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 0.1);
    QVERIFY(std::fabs(rmsLevel(h) - 0.3536f) < 0.005);
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 1, 2000);
    QCOMPARE(BASS_ChannelGetPosition(h, BASS_POS_BYTE), QWORD(13230 * 4));
    BASS_StreamFree(h);
}

void tst_EngineSources::userFileReadThatBlocks_data()
{
    QTest::addColumn<DWORD>("system");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("endByFailure");
    QTest::newRow("buffered mp3") << DWORD(STREAMFILE_BUFFER) << "mp3" << false;
    QTest::newRow("unbuffered mp3") << DWORD(STREAMFILE_NOBUFFER) << "mp3" << false;
    QTest::newRow("buffered MPEG-TS with AAC, probed, ended by -1")
        << DWORD(STREAMFILE_BUFFER) << "ts" << true;
    QTest::newRow("buffered MPEG-TS with MP3, probed, ended by -1")
        << DWORD(STREAMFILE_BUFFER) << "tsmp3" << true;
}

void tst_EngineSources::userFileReadThatBlocks()
{
    QFETCH(DWORD, system);
    QFETCH(QString, kind);
    QFETCH(bool, endByFailure);
    QFile file(kind == "ts" ? m_ts : kind == "tsmp3" ? m_tsMp3 : m_mp3);
    QVERIFY(file.open(QIODevice::ReadOnly));
    GatedFile gated;
    gated.data = file.readAll();
    gated.endByFailure = endByFailure;
    gated.release(gated.data.size() / 3);         // about one second of audio
    BASS_SetConfig(BASS_CONFIG_VERIFY_NET, 4096); // as for HLS: a few packets decide the format
    const BASS_FILEPROCS procs{&GatedFile::close, &GatedFile::length, &GatedFile::read,
                               &GatedFile::seek};
    const HSTREAM h =
        BASS_StreamCreateFileUser(system, BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE, &procs, &gated);
    QVERIFY2(h, qPrintable(QString::number(BASS_ErrorGetCode())));
    {
        std::lock_guard lock(gated.mutex);
        QVERIFY(gated.firstReader == std::this_thread::get_id());
    }
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_STALL));
    QVERIFY(syncs.attach(h, BASS_SYNC_END));
    QCOMPARE(BASS_ChannelGetLength(h, BASS_POS_BYTE), QWORD(-1));
    QVERIFY(!BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    QVERIFY(BASS_ChannelPlay(h, FALSE));

    // The read blocks: the channel runs dry and stalls, the mixer keeps going.
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_STALL), 1, 3000);
    QCOMPARE(syncs.dataOf(BASS_SYNC_STALL), std::vector<DWORD>{0});
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STALLED));
    if (system == STREAMFILE_BUFFER) {
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD),
                 QWORD(gated.data.size() / 3));
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_BUFFER), QWORD(0));
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_CURRENT), QWORD(gated.data.size() / 3));
        // The length procedure gives none: the end is unknown.
        QCOMPARE(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), QWORD(0));
    }
    // Data arrives: it resumes.
    gated.release(gated.data.size());
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_STALL), 2, 3000);
    QCOMPARE(syncs.dataOf(BASS_SYNC_STALL), (std::vector<DWORD>{0, 1}));
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    QTRY_VERIFY(rmsLevel(h) > 0.3f);
    // The read reports the end: the rest plays out (four times as fast, to save time) and the
    // stream ends (and frees itself).
    BASS_CHANNELINFO info{};
    QVERIFY(BASS_ChannelGetInfo(h, &info));
    QVERIFY(BASS_ChannelSetAttribute(h, BASS_ATTRIB_FREQ, float(info.freq * 4)));
    gated.release(gated.data.size(), true);
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_END), 1, 5000);
    QCOMPARE(syncs.count(BASS_SYNC_STALL), 2);
    QTRY_VERIFY(gated.isClosed());
    QVERIFY(!BASS_ChannelIsActive(h) && BASS_ErrorGetCode() == BASS_ERROR_HANDLE);
}

void tst_EngineSources::userFileSeekable()
{
    // Plain file procedures without BASS_STREAM_BLOCK: length and seeking work.
    struct Plain
    {
        QFile file;
    } plain;
    plain.file.setFileName(m_wav);
    QVERIFY(plain.file.open(QIODevice::ReadOnly));
    const BASS_FILEPROCS procs{
        [](void *) {}, [](void *u) -> QWORD { return QWORD(static_cast<Plain *>(u)->file.size()); },
        [](void *b, DWORD l, void *u) -> DWORD {
            const qint64 n = static_cast<Plain *>(u)->file.read(static_cast<char *>(b), l);
            return n < 0 ? DWORD(-1) : DWORD(n);
        },
        [](QWORD o, void *u) -> BOOL { return static_cast<Plain *>(u)->file.seek(qint64(o)); }};
    const HSTREAM h = BASS_StreamCreateFileUser(STREAMFILE_NOBUFFER, 0, &procs, &plain);
    QVERIFY(h);
    QCOMPARE(BASS_ChannelGetLength(h, BASS_POS_BYTE), QWORD(3 * 44100 * 4));
    QVERIFY(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 2.0), BASS_POS_BYTE));
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_VERIFY(seconds(h) > 2.1);
    QVERIFY(std::fabs(rmsLevel(h) - 0.3536f) < 0.005);
    BASS_StreamFree(h);
    QVERIFY(!BASS_StreamCreateFileUser(7, 0, &procs, &plain));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    QVERIFY(!BASS_StreamCreateFileUser(STREAMFILE_BUFFER, 0, nullptr, nullptr));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

void tst_EngineSources::positionSyncs()
{
    const HSTREAM h = BASS_StreamCreateFile(FALSE, QFile::encodeName(m_wav).constData(), 0, 0, 0);
    QVERIFY(h);
    SyncRecorder once;
    SyncRecorder always;
    const QWORD at = BASS_ChannelSeconds2Bytes(h, 0.2);
    QVERIFY(once.attach(h, BASS_SYNC_POS | BASS_SYNC_ONETIME, at));
    QVERIFY(always.attach(h, BASS_SYNC_POS, at));
    QVERIFY(always.attach(h, BASS_SYNC_POS, 0)); // the very start counts
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTRY_COMPARE(always.count(BASS_SYNC_POS), 2);
    QCOMPARE(once.count(BASS_SYNC_POS), 1);
    QVERIFY(seconds(h) >= 0.2);
    // Back before the position: the plain sync fires again, the one-time sync is gone.
    QVERIFY(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 0.1), BASS_POS_BYTE));
    QTRY_COMPARE(always.count(BASS_SYNC_POS), 3);
    QTest::qWait(50);
    QCOMPARE(once.count(BASS_SYNC_POS), 1);
    // Jumping over a position does not fire it.
    SyncRecorder skipped;
    QVERIFY(skipped.attach(h, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(h, 1.0)));
    QVERIFY(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 1.5), BASS_POS_BYTE));
    QTRY_VERIFY(seconds(h) > 1.6);
    QCOMPARE(skipped.count(BASS_SYNC_POS), 0);
    BASS_StreamFree(h);
}

void tst_EngineSources::metadataFiresWhenPlayed()
{
    // Raw MP3 from a live-like source; the title for the second half is handed over at the
    // byte where that half starts, long before it plays.
    QFile file(m_mp3);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    engine::SourceStreamParams params;
    params.contentType = "audio/mpeg";
    params.flags = 0;
    auto created = engine::createSourceStream(std::make_unique<ArraySource>(bytes), params);
    QVERIFY(created.handle);
    QVERIFY(created.metadata);
    const HSTREAM h = created.handle;
    created.metadata->setCurrent("StreamTitle='First';");
    QCOMPARE(QByteArray(BASS_ChannelGetTags(h, BASS_TAG_META)), QByteArray("StreamTitle='First';"));
    SyncRecorder syncs;
    QVERIFY(syncs.attach(h, BASS_SYNC_META));
    created.metadata->post(bytes.size() / 2, "StreamTitle='Second';");
    QVERIFY(BASS_ChannelPlay(h, FALSE));
    QTest::qWait(300);
    QCOMPARE(syncs.count(BASS_SYNC_META), 0); // decoded already, not played yet
    QCOMPARE(QByteArray(BASS_ChannelGetTags(h, BASS_TAG_META)), QByteArray("StreamTitle='First';"));
    QTRY_COMPARE_WITH_TIMEOUT(syncs.count(BASS_SYNC_META), 1, 3000);
    const double at = seconds(h);
    QVERIFY2(at > 1.3 && at < 1.8, qPrintable(QString::number(at)));
    QCOMPARE(QByteArray(BASS_ChannelGetTags(h, BASS_TAG_META)),
             QByteArray("StreamTitle='Second';"));
    BASS_StreamFree(h);
    created.metadata->post(0, "after free"); // harmless
}

QTEST_GUILESS_MAIN(tst_EngineSources)
#include "tst_enginesources.moc"
