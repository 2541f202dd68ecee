#pragma once

#include "klplayerglobal.h"
#include "klplaylisttypes.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkReply;
class KLIcyProbe;
class KLPlayerInterface;

// Resolves a player's address before playback: fetches it once, decides from the content type
// and the first bytes what it is, and answers with the playable addresses by bitrate and
// whether they are played as HLS. Plain streams and HLS media playlists are cut off after the
// first bytes; HLS master playlists and JSON stream lists are read to the end (at most
// maxPlaylistSize bytes). A list read from an http or https address keeps only its entries
// that name http or https addresses. A server that answers with an ICY status line instead of
// an HTTP one (older internet-radio servers do) fails Qt's request before any status; the parser
// then reads the first bytes of that answer itself and takes it as a stream. Works only through
// signals and never blocks.
class KELVANEPLAYER_EXPORT KLPlaylistParser : public QObject
{
    Q_OBJECT

    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)

public:
    using PlaylistType = KLPlaylist::PlaylistType;
    using enum KLPlaylist::PlaylistType;

    // Bytes that decide the type of a response that is not read to the end.
    static constexpr qsizetype classificationSize = 512;
    // Largest master playlist or stream list that is read; a larger one fails the parse.
    static constexpr qint64 maxPlaylistSize = 1024 * 1024;

    // The player is both the parent and the owner whose network access manager is used.
    explicit KLPlaylistParser(KLPlayerInterface *player);
    ~KLPlaylistParser() override;

    bool isProcessing() const { return m_isProcessing; }

    // Starts a parse of url; a running one is aborted first.
    void parse(const QUrl &url);
    // Cancels the running parse without a result.
    void abort();

    static bool isHlsType(PlaylistType type);
    static bool isMasterType(PlaylistType type);

signals:
    void isProcessingChanged(bool isProcessing);
    void parsingFinished(const KLPlaylistStreams &streams, bool isHls);

protected slots:
    bool updateIsProcessing(bool isProcessing);

private slots:
    void playlistRequestReadyRead();
    void playlistRequestFinished();
    void icyProbeFinished();

private:
    KLPlayerInterface *player() const;
    PlaylistType playlistTypeFromData() const;
    // The entries of a list read from a server that name http or https addresses.
    KLPlaylistStreams networkEntries(const KLPlaylistStreams &streams) const;
    void abortReply(QNetworkReply *reply);
    bool isAnswerWithoutHttp(const QNetworkReply *reply) const;
    void finishReply(QNetworkReply *reply);

    bool m_isProcessing = false;
    QPointer<QObject> m_playerObject;
    KLPlayerInterface *m_player = nullptr;
    QUrl m_url;
    QPointer<QNetworkReply> m_reply;
    bool m_isContentTypeSeen = false;
    PlaylistType m_type = UnknowPlaylist;
    QByteArray m_data;
    // The current reply was cut off by the parser itself: its cancellation is no failure.
    bool m_isCutOff = false;
    bool m_isTooLarge = false;
    // Reads the first bytes of an answer that Qt's request failed on before any HTTP status.
    QPointer<KLIcyProbe> m_icyProbe;
    // The answer began with "ICY 200": a stream, with this "icy-br" header (empty when absent).
    bool m_isIcyAnswer = false;
    QByteArray m_icyBitrate;
};
