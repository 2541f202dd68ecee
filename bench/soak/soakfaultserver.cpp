#include "soakfaultserver.h"

#include <algorithm>

namespace {

constexpr int BytesPerSecond = 128000 / 8;
constexpr int PaceIntervalMs = 100;
constexpr int PieceBytes = BytesPerSecond * PaceIntervalMs / 1000;
constexpr int MetaInterval = 16000;
constexpr int TrickleBytesPerSecond = 1000;

} // namespace

// The MP3 file as an endless body, with a metadata block every MetaInterval bytes when the
// client asked for them. Shared by the steps of one connection.
class SoakAudioFeed
{
public:
    SoakAudioFeed(const QByteArray &mp3, bool withMeta)
        : m_mp3(mp3)
        , m_withMeta(withMeta)
    {}

    bool withMeta() const { return m_withMeta; }

    // The next size bytes of audio, with the metadata blocks that fall among them.
    QByteArray next(qsizetype size)
    {
        QByteArray out;
        while (size > 0) {
            qsizetype take = std::min(size, m_mp3.size() - m_offset);
            if (m_withMeta)
                take = std::min(take, m_untilMeta);
            out.append(m_mp3.constData() + m_offset, take);
            m_offset = (m_offset + take) % m_mp3.size();
            size -= take;
            m_untilMeta -= take;
            if (m_withMeta && m_untilMeta == 0) {
                out += metaBlock();
                m_untilMeta = MetaInterval;
            }
        }
        return out;
    }

    // Audio up to the next metadata block, which is not included.
    QByteArray toMetaBlock()
    {
        QByteArray out;
        while (m_untilMeta > 0) {
            const qsizetype take = std::min(m_untilMeta, m_mp3.size() - m_offset);
            out.append(m_mp3.constData() + m_offset, take);
            m_offset = (m_offset + take) % m_mp3.size();
            m_untilMeta -= take;
        }
        m_untilMeta = MetaInterval;
        return out;
    }

    QByteArray metaBlock()
    {
        QByteArray text = "StreamTitle='Soak tone " + QByteArray::number(++m_titles) + "';";
        const qsizetype blocks = (text.size() + 15) / 16;
        text.resize(blocks * 16, '\0');
        return char(blocks) + text;
    }

private:
    const QByteArray m_mp3;
    const bool m_withMeta;
    qsizetype m_offset = 0;
    qsizetype m_untilMeta = MetaInterval;
    int m_titles = 0;
};

namespace {

// Pieces of pieceBytes from the feed, ticks of them, then the end of the stream step (ticks < 0:
// endless). The first piece is burstBytes when that is larger, so that players fill their
// buffers quickly after a reconnection.
LoopbackHttpExchange::Generator paced(std::shared_ptr<SoakAudioFeed> feed, qsizetype pieceBytes,
                                      qint64 ticks, qsizetype burstBytes = 0)
{
    return [feed, pieceBytes, ticks, burstBytes](qint64 tick) {
        if (ticks >= 0 && tick >= ticks)
            return QByteArray();
        return feed->next(tick == 0 ? std::max(pieceBytes, burstBytes) : pieceBytes);
    };
}

QByteArray randomBytes(QRandomGenerator &random, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

} // namespace

const char *SoakFaultServer::faultName(int fault)
{
    switch (Fault(fault)) {
    case Drop:
        return "drop";
    case Stall:
        return "stall";
    case Trickle:
        return "trickle";
    case ServerError:
        return "5xx";
    case Garbage:
        return "garbage";
    case TruncatedIcy:
        return "truncated-icy";
    case RedirectLoop:
        return "redirect-loop";
    case OversizedHeader:
        return "oversized-header";
    }
    return "?";
}

SoakFaultServer::SoakFaultServer(const QByteArray &mp3, quint32 seed)
    : m_mp3(mp3)
    , m_random(seed)
    , m_server(LoopbackHttpServer::OwnThread)
{
    m_server.setFallback([this](LoopbackHttpExchange &exchange) { handle(exchange); });
}

bool SoakFaultServer::listen()
{
    return m_server.listen();
}

QUrl SoakFaultServer::playerUrl(int index) const
{
    return m_server.url(QStringLiteral("/p%1").arg(index));
}

void SoakFaultServer::start(qint64 faultsFromMs, qint64 faultsUntilMs)
{
    m_clock.start();
    m_faultsFromMs.store(faultsFromMs, std::memory_order_release);
    m_faultsUntilMs.store(faultsUntilMs, std::memory_order_release);
}

std::array<int, SoakFaultServer::FaultCount> SoakFaultServer::faultCounts() const
{
    std::array<int, FaultCount> counts{};
    for (int i = 0; i < FaultCount; ++i)
        counts[i] = m_faultCounts[i].load();
    return counts;
}

void SoakFaultServer::handle(LoopbackHttpExchange &exchange)
{
    const QString path = exchange.request().path;
    // /loop<n>/a and /loop<n>/b redirect to each other without end.
    if (path.startsWith(QLatin1String("/loop"))) {
        const bool isA = path.endsWith(QLatin1String("/a"));
        QString next = path;
        next.back() = isA ? QLatin1Char('b') : QLatin1Char('a');
        exchange.redirect(302, m_server.url(next));
        return;
    }
    bool ok = false;
    const int player = path.startsWith(QLatin1String("/p")) ? path.mid(2).toInt(&ok) : -1;
    if (!ok || player < 0 || player >= int(m_nextFault.size())) {
        exchange.respond(404, "Not Found");
        return;
    }
    const qint64 from = m_faultsFromMs.load(std::memory_order_acquire);
    const qint64 until = m_faultsUntilMs.load(std::memory_order_acquire);
    const qint64 now = from >= 0 ? m_clock.elapsed() : -1;
    if (now < from || now >= until) {
        serveStream(exchange);
        return;
    }
    // Players start at different places of the rotation, so that every fault is in play at
    // any time.
    const int fault = (player + m_nextFault[player]++) % FaultCount;
    ++m_faultCounts[fault];
    inject(exchange, Fault(fault));
}

LoopbackHttpExchange::Generator SoakFaultServer::untilNextFault(std::shared_ptr<SoakAudioFeed> feed,
                                                                qsizetype burstBytes)
{
    const qint64 from = m_faultsFromMs.load(std::memory_order_acquire);
    const qint64 until = m_faultsUntilMs.load(std::memory_order_acquire);
    const qint64 due = std::max(m_clock.elapsed(), from) + m_random.bounded(2000, 10000);
    return [this, feed, burstBytes, due, until](qint64 tick) {
        const qint64 now = m_clock.elapsed();
        if (now >= due && now < until)
            return QByteArray();
        return feed->next(tick == 0 ? std::max<qsizetype>(PieceBytes, burstBytes) : PieceBytes);
    };
}

void SoakFaultServer::serveStream(LoopbackHttpExchange &exchange)
{
    const bool withMeta = exchange.request().header("Icy-MetaData") == "1";
    auto feed = std::make_shared<SoakAudioFeed>(m_mp3, withMeta);
    LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}};
    if (withMeta)
        headers.append({"icy-metaint", QByteArray::number(MetaInterval)});
    exchange.writeHead(200, headers);
    // Once the fault window opens, the connection breaks after a while; the next one meets a
    // fault.
    exchange.stream(untilNextFault(feed, 2 * BytesPerSecond), PaceIntervalMs);
    exchange.drop();
}

void SoakFaultServer::inject(LoopbackHttpExchange &exchange, Fault fault)
{
    const bool withMeta = exchange.request().header("Icy-MetaData") == "1";
    auto feed = std::make_shared<SoakAudioFeed>(m_mp3, withMeta);
    LoopbackHttpHeaders headers{{"Content-Type", "audio/mpeg"}, {"icy-br", "128"}};
    if (withMeta)
        headers.append({"icy-metaint", QByteArray::number(MetaInterval)});
    // A few seconds of good audio before the fault.
    const qint64 leadTicks = m_random.bounded(2000, 10000) / PaceIntervalMs;
    const auto lead = [&] {
        exchange.writeHead(200, headers);
        exchange.stream(paced(feed, PieceBytes, leadTicks, 2 * BytesPerSecond), PaceIntervalMs);
    };
    // After a fault that leaves the connection open, the stream goes on until the next fault
    // is due, and breaks then.
    const auto goOn = [&] {
        exchange.stream(untilNextFault(feed), PaceIntervalMs);
        exchange.drop();
    };

    switch (fault) {
    case Drop:
        lead();
        exchange.drop();
        return;
    case Stall:
        lead();
        exchange.pause(m_random.bounded(1000, 20001));
        goOn();
        return;
    case Trickle: {
        lead();
        const qint64 seconds = m_random.bounded(5, 21);
        exchange.stream(paced(feed, TrickleBytesPerSecond, seconds), 1000);
        goOn();
        return;
    }
    case ServerError:
        exchange.respond(503, "Service Unavailable", {{"Content-Type", "text/plain"}});
        return;
    case Garbage:
        lead();
        exchange.write(randomBytes(m_random, 32 * 1024));
        goOn();
        return;
    case TruncatedIcy:
        lead();
        if (withMeta) {
            exchange.write(feed->toMetaBlock());
            exchange.write(feed->metaBlock().left(5));
        }
        exchange.drop();
        return;
    case RedirectLoop:
        exchange.redirect(
            302, m_server.url(QStringLiteral("/loop%1/a").arg(exchange.request().path.mid(2))));
        return;
    case OversizedHeader:
        headers.append({"X-Padding", QByteArray(256 * 1024, 'x')});
        exchange.writeHead(200, headers);
        goOn();
        return;
    }
}
