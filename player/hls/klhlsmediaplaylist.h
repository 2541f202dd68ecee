#pragma once

#include "klhlschunk.h"
#include "klplayerglobal.h"

#include <QByteArray>
#include <QUrl>

// The segments of an HLS media playlist, read from its text alone, each with the
// initialization segment ("#EXT-X-MAP") and the encryption ("#EXT-X-KEY") in force for it.
class KELVANEPLAYER_EXPORT KLHlsMediaPlaylist
{
public:
    // Reload period when the segments give none worth having.
    static constexpr int KL_HLS_DEFAULT_RELOAD_MS = 1000;

    // Reads body, the playlist as fetched from finalUrl (after redirects); every chunk gets
    // bitrate. Lines may end with LF or CR LF; the last line needs no line end.
    static KLHlsMediaPlaylist parse(const QByteArray &body, const QUrl &finalUrl, uint bitrate);

    // Segments with a duration above 0 and an address, keyed by media sequence number: the
    // playlist's media sequence plus the index among all "#EXTINF:" entries that have an
    // address line (an entry of duration 0 is dropped but keeps its number).
    KLHlsChunkMap chunks;
    // How often to load the playlist again: the smaller of the mean segment duration and half
    // the total, KL_HLS_DEFAULT_RELOAD_MS when that is 100 ms or less.
    int reloadIntervalMs = KL_HLS_DEFAULT_RELOAD_MS;
    // "#EXT-X-ENDLIST": no segment will be added.
    bool isEnded = false;

private:
    // Takes the attributes of an "#EXT-X-KEY" tag for the segments that follow it.
    void readKey(QStringView attributes, const QUrl &finalUrl);

    // What applies to the next segments: "#EXT-X-MAP" and "#EXT-X-KEY".
    QUrl m_mapUrl;
    QString m_keyMethod;
    QUrl m_keyUrl;
    QByteArray m_keyIv;
};
