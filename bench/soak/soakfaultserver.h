#pragma once

#include <loopbackhttpserver.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QString>
#include <QUrl>

#include <array>
#include <atomic>
#include <memory>

class SoakAudioFeed;

// A loopback radio server for the soak run. Every player has an address of its own
// (/p<index>) that serves an endless 128 kbps MP3 stream paced in real time, with ICY metadata
// for clients that ask for it. Between faultsFromMs and faultsUntilMs after start() every new
// connection plays a few seconds and then meets the next fault of its player's rotation; before
// and after that window every connection stays healthy, so that the players can be counted when
// they have settled.
class SoakFaultServer
{
public:
    enum Fault {
        Drop,           // the connection breaks mid-stream
        Stall,          // no bytes for 1-20 s, then the stream goes on
        Trickle,        // 1 kB/s for up to 20 s, then full pace again
        ServerError,    // 503 instead of the stream
        Garbage,        // random bytes mid-stream, then the stream goes on
        TruncatedIcy,   // a metadata block cut short by the end of the connection
        RedirectLoop,   // two addresses redirecting to each other
        OversizedHeader // a 256 KiB header line before the stream
    };
    static constexpr int FaultCount = OversizedHeader + 1;
    static const char *faultName(int fault);

    SoakFaultServer(const QByteArray &mp3, quint32 seed);

    bool listen();
    // The address of player index.
    QUrl playerUrl(int index) const;
    // Starts the clock of the fault window.
    void start(qint64 faultsFromMs, qint64 faultsUntilMs);
    // Faults injected so far, by kind.
    std::array<int, FaultCount> faultCounts() const;
    // Forgets the requests the server logs, so that its memory stays flat over long runs.
    void forgetRequests() { m_server.clearRequests(); }

private:
    void handle(LoopbackHttpExchange &exchange);
    void serveStream(LoopbackHttpExchange &exchange);
    void inject(LoopbackHttpExchange &exchange, Fault fault);
    // Pieces of the feed at full pace until the next fault is due: while the fault window is
    // open, a few seconds after the connection started or the window opened.
    LoopbackHttpExchange::Generator untilNextFault(std::shared_ptr<SoakAudioFeed> feed,
                                                   qsizetype burstBytes = 0);

    const QByteArray m_mp3;
    QElapsedTimer m_clock;
    std::atomic<qint64> m_faultsFromMs = -1;
    std::atomic<qint64> m_faultsUntilMs = -1;
    // Touched only on the server's thread, where the handlers run.
    QRandomGenerator m_random;
    std::array<int, 1024> m_nextFault = {};
    std::array<std::atomic<int>, FaultCount> m_faultCounts = {};
    // Last, so that it goes first: its thread, which runs the handlers and the streams that use
    // the members above, stops before they go.
    LoopbackHttpServer m_server;
};
