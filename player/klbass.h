#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>

// Everything process-wide about the audio engine: add-ons, global options, the output device,
// error texts, and the address-and-headers string of internet streams. Nothing here keeps
// state apart from `outputDevice`; getters and setters read and write the engine's options.
namespace KLBass {

// Output device number used by init(); -1 is the system's default device. Written by the
// application (on any thread) and read by init() on the thread of a player's first play().
// To move playing players to a new device, set it and call KLPlayer::reopenOutputDevice().
KELVANEPLAYER_EXPORT extern std::atomic<int> outputDevice;

KELVANEPLAYER_EXPORT void configInit();
KELVANEPLAYER_EXPORT void init();
KELVANEPLAYER_EXPORT void free();

KELVANEPLAYER_EXPORT QString errorCodeToString(int code);
KELVANEPLAYER_EXPORT QString errorMessage();
// What failed, for the reason (BASS_DEVFAIL_*) that a device failure sync carries.
KELVANEPLAYER_EXPORT QString deviceFailureToString(uint reason);

// Address plus request header lines (each after CR LF, ending with CR LF) for an internet
// stream: stream address, user agent, referer, user id, utm mark.
KELVANEPLAYER_EXPORT QByteArray formatStreamUrl(const QUrl &url, const QString &userAgent,
                                                const QString &referer, const QString &userId,
                                                const QString &utmMark);

KELVANEPLAYER_EXPORT QString netAgent();
KELVANEPLAYER_EXPORT uint netBuffer();
KELVANEPLAYER_EXPORT uint netPrebuf();
KELVANEPLAYER_EXPORT bool netPrebufWait();
KELVANEPLAYER_EXPORT int readTimeoutMs();
KELVANEPLAYER_EXPORT int timeoutMs();
KELVANEPLAYER_EXPORT uint verifyNetSize();

KELVANEPLAYER_EXPORT void setNetAgent(const QString &agent);
KELVANEPLAYER_EXPORT void setNetBuffer(uint netBuffer);
KELVANEPLAYER_EXPORT void setNetPrebuf(uint netPrebuf);
KELVANEPLAYER_EXPORT void setNetPrebufWait(bool netPrebufWait);
KELVANEPLAYER_EXPORT void setReadTimeoutMs(int readTimeoutMs);
KELVANEPLAYER_EXPORT void setTimeoutMs(int timeoutMs);
KELVANEPLAYER_EXPORT void setVerifyNetSize(uint verifyNetSize);

} // namespace KLBass
