#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTextStream>

#include <rep_klplayer_merged.h>

class KLDaastPlayer;
class KLMetadataUpdater;

// Prints what a player reports: state changes, metadata, bitrate, errors, and its level once a
// second, the events of an ad-aware player's ads, and the now-playing description of a metadata
// updater, as text lines or as one JSON object per line.
class KLPlayPrinter : public QObject
{
    Q_OBJECT

public:
    KLPlayPrinter(KLPlayerSource *player, bool json, QObject *parent = nullptr);

    // The player whose level is printed (the printed player unless set).
    void setLevelSource(KLPlayerSource *player) { m_levelSource = player; }
    // Prints one line for every ad event: adStarted, adSkipped, adError, adEnded.
    void watchAds(KLDaastPlayer *player);

    // Prints one line for every change of the player's position, with its length and buffered
    // length, and one for a seek that is asked for.
    void watchPosition(KLPlayerSource *player);
    void printSeek(double position);

    // Prints one line for every change of the updater's now-playing description.
    void watchMetadata(KLMetadataUpdater *updater);
    // Whether a now-playing description has been printed.
    bool hasNowPlaying() const { return m_hasNowPlaying; }

    // Whether the player has been in PlayingState at least once.
    bool hasPlayed() const { return m_hasPlayed; }

    // The title inside ICY metadata such as "StreamTitle='Artist - Title';", or the metadata
    // itself when it carries no such field.
    static QString titleFromMeta(const QString &meta);

public slots:
    void printLevel();
    void printMessage(const QString &event, const QString &message);

private:
    void print(const QJsonObject &object, const QString &text);

    KLPlayerSource *m_levelSource = nullptr;
    bool m_json = false;
    bool m_hasPlayed = false;
    bool m_hasNowPlaying = false;
    QTextStream m_out;
};
