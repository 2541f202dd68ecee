#include "klplayprinter.h"

#include <klcredentials.h>
#include <kldaastplayer.h>
#include <klmetadataupdater.h>

#include <QJsonDocument>
#include <QMetaEnum>

#include <cmath>
#include <cstdio>

KLPlayPrinter::KLPlayPrinter(KLPlayerSource *player, bool json, QObject *parent)
    : QObject(parent)
    , m_levelSource(player)
    , m_json(json)
    , m_out(stdout)
{
    connect(player, &KLPlayerSource::stateChanged, this, [this](KLPlayerSource::State state) {
        if (state == KLPlayerSource::PlayingState)
            m_hasPlayed = true;
        const QString name =
            QString::fromLatin1(QMetaEnum::fromType<KLPlayerSource::State>().valueToKey(state));
        print({{"event", "state"}, {"state", name}}, QStringLiteral("state ") + name);
    });
    connect(player, &KLPlayerSource::metaChanged, this, [this](const QString &meta) {
        if (meta.isEmpty())
            return;
        const QString title = titleFromMeta(meta);
        print({{"event", "meta"}, {"meta", meta}, {"title", title}},
              QStringLiteral("meta ") + meta + QStringLiteral("\ntitle ") + title);
    });
    connect(player, &KLPlayerSource::currentBitrateChanged, this, [this](quint32 bitrate) {
        print({{"event", "bitrate"}, {"bitrate", qint64(bitrate)}},
              QStringLiteral("bitrate %1").arg(bitrate));
    });
    connect(player, &KLPlayerSource::error, this, [this](const QString &message) {
        printMessage(QStringLiteral("error"), KLCredentials::redacted(message));
    });
}

void KLPlayPrinter::watchAds(KLDaastPlayer *player)
{
    connect(
        player, &KLDaastPlayer::daastStarted, this,
        [this](const QString &meta, const QString &image, const QString &click) {
            const QString imageUrl = KLCredentials::redacted(image);
            const QString clickUrl = KLCredentials::redacted(click);
            print(
                {{"event", "adStarted"}, {"meta", meta}, {"image", imageUrl}, {"click", clickUrl}},
                QStringLiteral("adStarted %1 image %2 click %3").arg(meta, imageUrl, clickUrl));
        });
    connect(player, &KLDaastPlayer::daastSkipped, this, [this] {
        print({{"event", "adSkipped"}}, QStringLiteral("adSkipped"));
    });
    connect(player, &KLDaastPlayer::daastError, this, [this](const QString &message) {
        printMessage(QStringLiteral("adError"), KLCredentials::redacted(message));
    });
    connect(player, &KLDaastPlayer::daastEnded, this, [this] {
        print({{"event", "adEnded"}}, QStringLiteral("adEnded"));
    });
}

void KLPlayPrinter::watchPosition(KLPlayerSource *player)
{
    // Queued: the player updates the buffered length right after the position.
    connect(
        player, &KLPlayerSource::positionChanged, this,
        [this, player](double position) {
            print({{"event", "position"},
                   {"position", position},
                   {"length", player->length()},
                   {"bufferedLength", player->bufferedLength()}},
                  QStringLiteral("position %1 of %2 buffered %3")
                      .arg(position, 0, 'f', 1)
                      .arg(player->length(), 0, 'f', 1)
                      .arg(player->bufferedLength(), 0, 'f', 1));
        },
        Qt::QueuedConnection);
}

void KLPlayPrinter::printSeek(double position)
{
    print({{"event", "seek"}, {"position", position}},
          QStringLiteral("seek %1").arg(position, 0, 'f', 1));
}

void KLPlayPrinter::watchMetadata(KLMetadataUpdater *updater)
{
    // The description signals come one per field; the queued call prints them together.
    connect(
        updater, &KLMetadataUpdater::jsonChanged, this,
        [this, updater] {
            const QString cover = updater->coverUrl().toString(QUrl::RemoveUserInfo);
            if (!updater->json().isEmpty())
                m_hasNowPlaying = true;
            print({{"event", "nowPlaying"},
                   {"title", updater->title()},
                   {"subtitle", updater->subtitle()},
                   {"cover", cover},
                   {"ddbId", updater->ddbId()},
                   {"type", updater->type()}},
                  QStringLiteral("nowPlaying %1 - %2%3")
                      .arg(updater->title(), updater->subtitle(),
                           cover.isEmpty() ? QString() : QStringLiteral(" cover ") + cover));
        },
        Qt::QueuedConnection);
}

QString KLPlayPrinter::titleFromMeta(const QString &meta)
{
    static const QLatin1String key("StreamTitle='");
    const qsizetype start = meta.indexOf(key);
    if (start < 0)
        return meta;
    const qsizetype from = start + key.size();
    qsizetype end = meta.indexOf(QLatin1String("';"), from);
    if (end < 0)
        end = meta.lastIndexOf(QLatin1Char('\''));
    if (end < from)
        end = meta.size();
    return meta.mid(from, end - from);
}

void KLPlayPrinter::printLevel()
{
    const double level = m_levelSource->level();
    const double levelDb = m_levelSource->levelDb();
    QJsonObject object{{"event", "level"}, {"level", level}};
    // JSON has no infinity: silence is reported as null.
    object.insert("levelDb", std::isfinite(levelDb) ? QJsonValue(levelDb) : QJsonValue());
    const QString db =
        std::isfinite(levelDb) ? QString::number(levelDb, 'f', 1) : QStringLiteral("-inf");
    print(object, QStringLiteral("level %1 %2 dB").arg(level, 0, 'f', 4).arg(db));
}

void KLPlayPrinter::printMessage(const QString &event, const QString &message)
{
    print({{"event", event}, {"message", message}}, event + QLatin1Char(' ') + message);
}

void KLPlayPrinter::print(const QJsonObject &object, const QString &text)
{
    if (m_json)
        m_out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
    else
        m_out << text << '\n';
    m_out.flush();
}
