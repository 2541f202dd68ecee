#include "klbass.h"

#include "kllogging.h"

#include <bass.h>

#include <QHash>
#include <QUrlQuery>

namespace KLBass {

std::atomic<int> outputDevice = -1;

namespace {

QString configText(DWORD option)
{
    const auto *text = static_cast<const char *>(BASS_GetConfigPtr(option));
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

void configInit()
{
    bool loaded = true;
    if (!BASS_PluginLoad("bassopus", 0)) {
        qCWarning(klLog) << "Can not load bassopus plugin" << errorMessage();
        loaded = false;
    }
    if (!BASS_PluginLoad("basshls", 0)) {
        qCWarning(klLog) << "Can not load basshls plugin" << errorMessage();
        loaded = false;
    }
    if (!loaded)
        qCDebug(klLog) << "Plugin search BASS_CONFIG_FILENAME" << configText(BASS_CONFIG_FILENAME);
    if (!BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 10000))
        qCCritical(klLog) << "Can not set net read timeout" << errorMessage();
    if (!BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2))
        qCCritical(klLog) << "Can not set net playlist mode" << errorMessage();
}

void init()
{
    if (!BASS_Init(outputDevice.load(), 44100, 0, nullptr, nullptr) &&
        BASS_ErrorGetCode() != BASS_ERROR_ALREADY)
        qCCritical(klLog) << "Can not initialize BASS device" << errorMessage();
}

void free()
{
    if (!BASS_Free() && BASS_ErrorGetCode() != BASS_ERROR_INIT)
        qCWarning(klLog) << "Can not free bass" << errorMessage();
}

QString errorCodeToString(int code)
{
    static const QHash<int, QString> texts = {
        {-1, QStringLiteral("BASS_ERROR_UNKNOWN - some other mystery problem")},
        {0, QStringLiteral("BASS_OK - all is OK")},
        {1, QStringLiteral("BASS_ERROR_MEM - memory error")},
        {2, QStringLiteral("BASS_ERROR_FILEOPEN - can't open the file")},
        {3, QStringLiteral("BASS_ERROR_DRIVER - can't find a free/valid driver")},
        {4, QStringLiteral("BASS_ERROR_BUFLOST - the sample buffer was lost")},
        {5, QStringLiteral("BASS_ERROR_HANDLE - invalid handle")},
        {6, QStringLiteral("BASS_ERROR_FORMAT - unsupported sample format")},
        {7, QStringLiteral("BASS_ERROR_POSITION - invalid position")},
        {8, QStringLiteral("BASS_ERROR_INIT - BASS_Init has not been successfully called")},
        {9, QStringLiteral("BASS_ERROR_START - BASS_Start has not been successfully called")},
        {10, QStringLiteral("BASS_ERROR_SSL - SSL/HTTPS support isn't available")},
        {14, QStringLiteral("BASS_ERROR_ALREADY - already initialized/paused/whatever")},
        {17, QStringLiteral("BASS_ERROR_NOTAUDIO - file does not contain audio")},
        {18, QStringLiteral("BASS_ERROR_NOCHAN - can't get a free channel")},
        {19, QStringLiteral("BASS_ERROR_ILLTYPE - an illegal type was specified")},
        {20, QStringLiteral("BASS_ERROR_ILLPARAM - an illegal parameter was specified")},
        {21, QStringLiteral("BASS_ERROR_NO3D - no 3D support")},
        {22, QStringLiteral("BASS_ERROR_NOEAX - no EAX support")},
        {23, QStringLiteral("BASS_ERROR_DEVICE - illegal device number")},
        {24, QStringLiteral("BASS_ERROR_NOPLAY - not playing")},
        {25, QStringLiteral("BASS_ERROR_FREQ - illegal sample rate")},
        {27, QStringLiteral("BASS_ERROR_NOTFILE - the stream is not a file stream")},
        {29, QStringLiteral("BASS_ERROR_NOHW - no hardware voices available")},
        {31, QStringLiteral("BASS_ERROR_EMPTY - the MOD music has no sequence data")},
        {32, QStringLiteral("BASS_ERROR_NONET - no internet connection could be opened")},
        {33, QStringLiteral("BASS_ERROR_CREATE - couldn't create the file")},
        {34, QStringLiteral("BASS_ERROR_NOFX - effects are not available")},
        {37, QStringLiteral("BASS_ERROR_NOTAVAIL - requested data/action is not available")},
        {38, QStringLiteral("BASS_ERROR_DECODE - the channel is/isn't a decoding channel")},
        {39, QStringLiteral("BASS_ERROR_DX - a sufficient DirectX version is not installed")},
        {40, QStringLiteral("BASS_ERROR_TIMEOUT - connection timedout")},
        {41, QStringLiteral("BASS_ERROR_FILEFORM - unsupported file format")},
        {42, QStringLiteral("BASS_ERROR_SPEAKER - unavailable speaker")},
        {43, QStringLiteral("BASS_ERROR_VERSION - invalid BASS version (used by add-ons)")},
        {44, QStringLiteral("BASS_ERROR_CODEC - codec is not available/supported")},
        {45, QStringLiteral("BASS_ERROR_ENDED - the channel/file has ended")},
        {46, QStringLiteral("BASS_ERROR_BUSY - the device is busy")},
        {47, QStringLiteral("BASS_ERROR_UNSTREAMABLE - unstreamable file")},
    };
    const auto it = texts.constFind(code);
    if (it != texts.constEnd())
        return *it;
    return QStringLiteral("UNKNOW_BASS_ERROR_CODE - unknow bass error code number ") +
           QString::number(code);
}

QString errorMessage()
{
    return errorCodeToString(BASS_ErrorGetCode());
}

QString deviceFailureToString(uint reason)
{
    switch (reason) {
    case BASS_DEVFAIL_REMOVED:
        return QStringLiteral("the output device was removed");
    case BASS_DEVFAIL_SERVER:
        return QStringLiteral("the connection to the sound server was lost");
    case BASS_DEVFAIL_FORMAT:
        return QStringLiteral("the output device changed its format and could not be reopened");
    case BASS_DEVFAIL_STOPPED:
        return QStringLiteral("the output device stopped taking audio");
    default:
        return QStringLiteral("the device failed for an unknown reason");
    }
}

QByteArray formatStreamUrl(const QUrl &url, const QString &userAgent, const QString &referer,
                           const QString &userId, const QString &utmMark)
{
    QUrlQuery query(url);
    if (!userId.isEmpty()) {
        query.removeAllQueryItems(QStringLiteral("hssuid"));
        query.addQueryItem(QStringLiteral("hssuid"), userId);
    }
    if (!utmMark.isEmpty()) {
        query.removeAllQueryItems(QStringLiteral("radioquorvia"));
        query.addQueryItem(QStringLiteral("radioquorvia"), utmMark);
    }
    const QString effectiveReferer = referer.isEmpty() ? utmMark : referer;

    QUrl address(url);
    address.setQuery(query);
    QString text = address.toString();
    if (!userAgent.isEmpty())
        text += QStringLiteral("\r\nUser-Agent: ") + userAgent;
    if (!effectiveReferer.isEmpty())
        text += QStringLiteral("\r\nReferer: ") + effectiveReferer;
    QString userInfo = url.userName(QUrl::FullyDecoded);
    if (url.password(QUrl::FullyDecoded).size() > 0 || url.userInfo().contains(u':'))
        userInfo += u':' + url.password(QUrl::FullyDecoded);
    if (!userInfo.isEmpty())
        text += QStringLiteral("\r\nAuthorization: Basic ") +
                QString::fromLatin1(userInfo.toUtf8().toBase64());
    text += QStringLiteral("\r\n");
    return text.toUtf8();
}

QString netAgent()
{
    return configText(BASS_CONFIG_NET_AGENT);
}
uint netBuffer()
{
    return BASS_GetConfig(BASS_CONFIG_NET_BUFFER);
}
uint netPrebuf()
{
    return BASS_GetConfig(BASS_CONFIG_NET_PREBUF);
}
bool netPrebufWait()
{
    return BASS_GetConfig(BASS_CONFIG_NET_PREBUF_WAIT) != 0;
}
int readTimeoutMs()
{
    return int(BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT));
}
int timeoutMs()
{
    return int(BASS_GetConfig(BASS_CONFIG_NET_TIMEOUT));
}
uint verifyNetSize()
{
    return BASS_GetConfig(BASS_CONFIG_VERIFY_NET);
}

void setNetAgent(const QString &agent)
{
    qCDebug(klLog) << "Update bass net agent" << agent;
    const QByteArray utf8 = agent.toUtf8();
    if (!BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, utf8.constData()))
        qCWarning(klLog) << "Can not update bass net agent" << errorMessage();
}

void setNetBuffer(uint netBuffer)
{
    qCDebug(klLog) << "Update bass net buffer" << netBuffer;
    if (!BASS_SetConfig(BASS_CONFIG_NET_BUFFER, netBuffer))
        qCWarning(klLog) << "Can not update bass net buffer" << errorMessage();
}

void setNetPrebuf(uint netPrebuf)
{
    qCDebug(klLog) << "Update bass net prebuf" << netPrebuf;
    if (!BASS_SetConfig(BASS_CONFIG_NET_PREBUF, netPrebuf))
        qCWarning(klLog) << "Can not update bass net prebuf" << errorMessage();
}

void setNetPrebufWait(bool netPrebufWait)
{
    qCDebug(klLog) << "Update bass net prebuf wait" << netPrebufWait;
    if (!BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, netPrebufWait))
        qCWarning(klLog) << "Can not update bass net prebuf wait" << errorMessage();
}

void setReadTimeoutMs(int readTimeoutMs)
{
    qCDebug(klLog) << "Update bass net read timeout" << readTimeoutMs;
    if (!BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, DWORD(readTimeoutMs)))
        qCWarning(klLog) << "Can not update bass net read timeout" << errorMessage();
}

void setTimeoutMs(int timeoutMs)
{
    qCDebug(klLog) << "Update bass net timeout" << timeoutMs;
    if (!BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, DWORD(timeoutMs)))
        qCWarning(klLog) << "Can not update bass net timeout" << errorMessage();
}

void setVerifyNetSize(uint verifyNetSize)
{
    if (!BASS_SetConfig(BASS_CONFIG_VERIFY_NET, verifyNetSize))
        qCWarning(klLog) << "Can not set net verify size" << errorMessage();
}

} // namespace KLBass
