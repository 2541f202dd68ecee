#include "vcdevstations.h"

#include "vcdevlogging.h"

#include <QJsonObject>
#include <QTcpSocket>

#include <cmath>
#include <thread>
#include <utility>

namespace {

struct ChannelPlan
{
    const char *name;
    const char *genre;
    VCDemoAudio::Style style;
    QStringList titles;
};

QList<ChannelPlan> channelPlans()
{
    return {
        {"Vellacast Demo FM (main)",
         "Pop",
         {57, 8, 112, 11, 128000},
         {QStringLiteral("The Northern Lanterns - Harbour Lights"),
          QStringLiteral("Mira Solenne - Paper Planes"),
          QStringLiteral("Quiet Avenue - Slow Morning"),
          QStringLiteral("The Tin Orchard - Summer Rain")}},
        {"Vellacast Demo FM (backup)",
         "Pop",
         {62, 8, 120, 23, 128000},
         {QStringLiteral("Copper Fields - Open Road"), QStringLiteral("Ada Verlaine - Blue Hour"),
          QStringLiteral("Low Tide Club - Second Wind")}},
        {"Vellacast Demo FM (reserve)",
         "Easy listening",
         {53, 8, 96, 37, 64000},
         {QStringLiteral("Vellacast Demo FM - Reserve Line"),
          QStringLiteral("Juniper Row - Lantern Song")}},
    };
}

} // namespace

int VCDevStations::maxCount()
{
    return int(channelPlans().size());
}

VCDemoAudio::Style VCDevStations::plannedStyle(int stream)
{
    return channelPlans().at(stream - 1).style;
}

QString VCDevStations::path(int stream)
{
    return QStringLiteral("/stream/%1.mp3").arg(stream);
}

VCDevStations::VCDevStations(QObject *parent)
    : QObject(parent)
{}

VCDevStations::~VCDevStations()
{
    // Listeners go first, while their channels' audio still exists.
    for (const auto &channel : m_channels) {
        const auto senders = std::exchange(channel->senders, {});
        for (const auto &sender : senders)
            delete sender.data();
    }
}

bool VCDevStations::build(const Setup &setup, QString *error)
{
    const QList<ChannelPlan> plans = channelPlans();
    m_burstMs = setup.burstMs;
    // Each channel's music is made on a thread of its own; they share nothing.
    m_channels.clear();
    std::vector<QString> errors(setup.count);
    std::vector<std::thread> builders;
    for (int i = 0; i < setup.count; ++i) {
        auto channel = std::make_unique<Channel>();
        channel->name = plans[i].name;
        channel->genre = plans[i].genre;
        channel->titles = plans[i].titles;
        Channel *raw = channel.get();
        VCDemoAudio::Style style = plans[i].style;
        style.bars = setup.loopBars;
        if (setup.tones) {
            style.toneHz = 440.0 * (i + 1);
            style.toneAmplitude *= std::pow(10.0, setup.toneGainDb.value(i + 1) / 20);
        }
        m_channels.push_back(std::move(channel));
        builders.emplace_back([raw, style, out = &errors[i]]() { raw->audio.build(style, out); });
    }
    for (auto &builder : builders)
        builder.join();
    for (const QString &text : errors) {
        if (!text.isEmpty()) {
            *error = text;
            m_channels.clear();
            return false;
        }
    }
    return true;
}

VCDevStreamSender::Mode VCDevStations::mode(int stream) const
{
    if (stream < 1 || stream > count())
        return VCDevStreamSender::Normal;
    return m_channels[stream - 1]->mode;
}

bool VCDevStations::setMode(int stream, VCDevStreamSender::Mode mode)
{
    if (stream < 1 || stream > count())
        return false;
    Channel &channel = *m_channels[stream - 1];
    if (channel.mode == mode)
        return true;
    channel.mode = mode;
    qCInfo(lcDevService).noquote()
        << "Stream" << stream << "is now" << VCDevStreamSender::modeName(mode);
    const auto senders = channel.senders;
    for (const auto &sender : senders) {
        if (sender)
            sender->setMode(mode);
    }
    emit modeChanged(stream, mode);
    return true;
}

int VCDevStations::listenerCount(int stream) const
{
    if (stream < 1 || stream > count())
        return 0;
    int listeners = 0;
    for (const auto &sender : m_channels[stream - 1]->senders)
        listeners += sender ? 1 : 0;
    return listeners;
}

int VCDevStations::totalListeners() const
{
    int listeners = 0;
    for (const auto &channel : m_channels)
        listeners += int(channel->senders.size());
    return listeners;
}

qint64 VCDevStations::liveFrame() const
{
    return m_liveClock.nsecsElapsed() / 1000 / VCDemoAudio::frameDurationUs();
}

qint64 VCDevStations::liveLoop(int stream) const
{
    return liveFrame() / m_channels[stream - 1]->audio.musicFrames().size();
}

QString VCDevStations::liveTitle(int stream) const
{
    const Channel &channel = *m_channels[stream - 1];
    if (channel.titles.isEmpty())
        return QString();
    return channel.titles.at(liveLoop(stream) % channel.titles.size());
}

VCDevHttpResponse VCDevStations::nowPlaying(int stream, bool idOnly) const
{
    // The identifier changes with every loop, so a title that comes round again is new.
    const QString id = QStringLiteral("%1-%2").arg(stream).arg(liveLoop(stream));
    if (idOnly)
        return VCDevHttpResponse::json({{QStringLiteral("uniqueid"), id}});
    const QString title = liveTitle(stream);
    const qsizetype dash = title.indexOf(QLatin1String(" - "));
    return VCDevHttpResponse::json({
        {QStringLiteral("uniqueid"), id},
        {QStringLiteral("artist"), dash < 0 ? title : title.left(dash)},
        {QStringLiteral("title"), dash < 0 ? QString() : title.mid(dash + 3)},
        {QStringLiteral("cover"), QStringLiteral("cover.png")},
        {QStringLiteral("ddbId"), stream},
        {QStringLiteral("type"), 1},
    });
}

void VCDevStations::addListener(QTcpSocket *socket, int stream, bool icy, int session)
{
    Channel &channel = *m_channels[stream - 1];
    VCDevStreamSender::Setup setup;
    setup.audio = &channel.audio;
    setup.titles = channel.titles;
    setup.name = channel.name;
    setup.genre = channel.genre;
    setup.icy = icy;
    setup.metaInt = icyMetaInt;
    setup.startFrame = liveFrame();
    setup.burstMs = m_burstMs;
    setup.session = session;
    auto *sender = new VCDevStreamSender(socket, setup, channel.mode, this);
    channel.senders.append(sender);
    connect(sender, &VCDevStreamSender::finished, this, [this, sender, stream]() {
        m_channels[stream - 1]->senders.removeAll(sender);
        sender->deleteLater();
    });
}

void VCDevStations::dropSession(int session)
{
    for (const auto &channel : m_channels) {
        const auto senders = channel->senders;
        for (const auto &sender : senders) {
            if (sender && sender->session() == session)
                sender->drop();
        }
    }
}

QJsonArray VCDevStations::status() const
{
    QJsonArray streams;
    for (int i = 1; i <= count(); ++i) {
        const Channel &channel = *m_channels[i - 1];
        qint64 bytes = 0;
        for (const auto &sender : channel.senders)
            bytes += sender ? sender->audioBytesSent() : 0;
        streams.append(QJsonObject{
            {QStringLiteral("stream"), i},
            {QStringLiteral("name"), QString::fromUtf8(channel.name)},
            {QStringLiteral("path"), path(i)},
            {QStringLiteral("bitrate"), channel.audio.bitrate()},
            {QStringLiteral("mode"), VCDevStreamSender::modeName(channel.mode)},
            {QStringLiteral("listeners"), listenerCount(i)},
            {QStringLiteral("listenerBytes"), bytes},
            {QStringLiteral("title"), liveTitle(i)},
            {QStringLiteral("titles"), QJsonArray::fromStringList(channel.titles)},
        });
    }
    return streams;
}
