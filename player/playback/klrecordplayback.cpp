#include "klrecordplayback.h"

#include "klbass.h"
#include "klcallbackregistry.h"
#include "kllogging.h"
#include "klplayerinterface.h"

namespace {

// Living back-ends: a callback of a recording channel whose back-end is gone finds nothing here.
KLCallbackRegistry &living()
{
    static KLCallbackRegistry backends;
    return backends;
}

} // namespace

KLRecordPlayback::KLRecordPlayback(KLPlayerInterface *player, QObject *parent)
    : KLPlayback(player, parent)
{
    m_callbackSerial = living().add(this);
}

KLRecordPlayback::~KLRecordPlayback()
{
    living().remove(m_callbackSerial);
    resetAndFree();
}

HSTREAM KLRecordPlayback::start(QWORD startPos)
{
    KLPlayerInterface *owner = player();
    if (!owner)
        return 0;

    KLPlayback::start(startPos);
    // A back-end started again without a stop gives up its previous recording first.
    resetAndFree();

    m_name = owner->playerName();
    const std::optional<int> device = deviceFromUrl();
    if (!device || !openDevice(*device))
        return 0;
    BASS_RECORDINFO info = {};
    const HSTREAM handle = startRecording(*device, info) ? createPushStream(info) : 0;
    if (!handle) {
        resetAndFree();
        return 0;
    }
    m_pushStream.store(handle, std::memory_order_release);
    return handle;
}

std::optional<int> KLRecordPlayback::deviceFromUrl() const
{
    const QUrl url = playerStreamUrl();
    if (url.isEmpty()) {
        qCDebug(klLog) << m_name << "Record playback: player stream url is empty";
        return std::nullopt;
    }
    if (url.scheme() != QLatin1String("record")) {
        qCDebug(klLog) << m_name << "Record playback: player stream url scheme is not valid";
        return std::nullopt;
    }
    const QString path = url.path(QUrl::FullyDecoded);
    bool isNumber = false;
    const int device = path.toInt(&isNumber, 10);
    if (!isNumber) {
        qCDebug(klLog) << m_name << "Record playback: invalid device in stream url" << path;
        return std::nullopt;
    }
    return device;
}

bool KLRecordPlayback::openDevice(int device)
{
    BASS_RecordSetDevice(DWORD(device));
    if (!BASS_RecordInit(device)) {
        qCDebug(klLog) << m_name << "Record playback: can not init record device" << device
                       << KLBass::errorMessage();
        return false;
    }
    m_initialized = true;
    // The device the engine opened (-1 stands for the default one), so that it is selected
    // again when it is freed.
    const DWORD opened = BASS_RecordGetDevice();
    m_device = opened == DWORD(-1) ? device : int(opened);
    return true;
}

bool KLRecordPlayback::startRecording(int device, BASS_RECORDINFO &info)
{
    m_pushStream.store(0, std::memory_order_release);
    m_overflowing.store(false, std::memory_order_relaxed);
    m_recordChannel = BASS_RecordStart(KL_RECORD_FREQ, 0, 0, &KLRecordPlayback::bassRecordProc,
                                       KLCallbackRegistry::userData(m_callbackSerial));
    if (!m_recordChannel) {
        qCDebug(klLog) << m_name << "Record playback: can not start record device" << device
                       << KLBass::errorMessage();
        return false;
    }
    if (!BASS_ChannelSetSync(m_recordChannel, BASS_SYNC_DEV_FAIL, 0,
                             &KLRecordPlayback::bassRecordDevFailSync,
                             KLCallbackRegistry::userData(m_callbackSerial))) {
        qCDebug(klLog) << m_name << "Record playback: can not set device" << device << "fail sync"
                       << KLBass::errorMessage();
        return false;
    }
    if (!BASS_RecordGetInfo(&info)) {
        qCDebug(klLog) << m_name << "Record playback: can not get record device info" << device
                       << KLBass::errorMessage();
        return false;
    }
    return true;
}

HSTREAM KLRecordPlayback::createPushStream(const BASS_RECORDINFO &info)
{
    const HSTREAM handle = BASS_StreamCreate(KL_RECORD_FREQ, streamChannels(info),
                                             BASS_STREAM_AUTOFREE, STREAMPROC_PUSH, nullptr);
    if (!handle) {
        qCDebug(klLog) << m_name << "Record playback: Can not create record stream"
                       << KLBass::errorMessage();
        return 0;
    }
    if (!BASS_ChannelSetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, float(KL_RECORD_PUSH_LIMIT))) {
        qCWarning(klLog) << m_name << "Can not set record channel limit attribute"
                         << KLBass::errorMessage();
        BASS_StreamFree(handle);
        return 0;
    }
    return handle;
}

void KLRecordPlayback::stop()
{
    KLPlayback::stop();
    resetAndFree();
}

double KLRecordPlayback::speedCoef()
{
    return 1.0;
}

DWORD KLRecordPlayback::streamChannels(const BASS_RECORDINFO &info)
{
    const DWORD channels = info.formats >> 24;
    return channels ? channels : KL_RECORD_DEFAULT_CHANNELS;
}

void KLRecordPlayback::resetAndFree()
{
    if (!m_initialized && m_device == 0 && m_recordChannel == 0)
        return;

    BASS_RecordSetDevice(DWORD(m_device));
    // Freeing the channel waits for its callback to return: no block arrives afterwards.
    if (m_recordChannel && !BASS_ChannelFree(m_recordChannel))
        qCDebug(klLog) << m_name << "Record playback: can not free record stream"
                       << KLBass::errorMessage();
    if (m_initialized)
        BASS_RecordFree();

    m_initialized = false;
    m_device = 0;
    m_recordChannel = 0;
    m_pushStream.store(0, std::memory_order_release);
}

void KLRecordPlayback::recorded(const void *buffer, DWORD length, bool &keepRecording)
{
    const HSTREAM handle = m_pushStream.load(std::memory_order_acquire);
    // The first blocks may come before the stream exists: they are not kept.
    if (!handle || length == 0)
        return;
    if (BASS_StreamPutData(handle, buffer, length) != DWORD(-1)) {
        m_overflowing.store(false, std::memory_order_relaxed);
        return;
    }
    if (BASS_ErrorGetCode() == BASS_ERROR_BUSY) {
        // The output does not keep up (the queue holds its limit): a live input cannot wait,
        // so this block is lost, and recording goes on.
        if (!m_overflowing.exchange(true, std::memory_order_relaxed))
            qCDebug(klLog) << m_name
                           << "Record playback: stream queue is full, recorded audio dropped";
        return;
    }
    // The stream is gone or has ended.
    keepRecording = false;
}

void KLRecordPlayback::deviceFailed()
{
    const HSTREAM handle = m_pushStream.load(std::memory_order_acquire);
    if (!handle)
        return;
    qCDebug(klLog) << m_name << "Record playback: device failure" << KLBass::errorMessage();
    BASS_StreamPutData(handle, nullptr, BASS_STREAMPROC_END);
}

BOOL KLRecordPlayback::bassRecordProc(HRECORD handle, const void *buffer, DWORD length, void *user)
{
    Q_UNUSED(handle)
    bool keepRecording = false;
    living().with<KLRecordPlayback>(user, [&](KLRecordPlayback *backend) {
        keepRecording = true;
        backend->recorded(buffer, length, keepRecording);
    });
    return keepRecording ? TRUE : FALSE;
}

void KLRecordPlayback::bassRecordDevFailSync(HSYNC handle, DWORD channel, DWORD data, void *user)
{
    Q_UNUSED(handle)
    Q_UNUSED(channel)
    Q_UNUSED(data)
    living().with<KLRecordPlayback>(user,
                                    [](KLRecordPlayback *backend) { backend->deviceFailed(); });
}
