// bench-program: what the real program costs where operators run it. Starts the demo service
// with N paced streams and the program under the current display (a private Xvfb with a tray
// host when there is none), logs in, and measures the program's CPU time in four phases:
// window shown with every source playing; window shown with the first source stalled (its
// meter waits for the connection); the same with the window hidden; window hidden with every
// source playing. Prints one JSON object with CPU seconds per minute of each phase, RSS,
// threads, and how often a source other than the stalled one lost its connection (which would
// be audio bought with the savings).
//
//   bench-program [--sources N] [--seconds T] [--settle S] [--program PATH] [--service PATH]
//                 [--keep] [--metrics]
//
// --metrics measures instead the cost of the metrics endpoint: two headless programs on the
// same streams at the same time, one with the endpoint off and one with it on and scraped every
// second (/metrics and /healthz), so that both see the same load of the machine.
//
// It is a benchmark, not a test: it reports numbers and fails only when it cannot measure.

#include "benchdisplay.h"
#include "benchprocessusage.h"
#include "benchscraper.h"
#include "benchservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <functional>

namespace {

constexpr int ConnectTimeoutMs = 60000;

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(250);
    }
    return true;
}

// Whether the program's latest report shows `count` sources, each connected or not as wanted.
bool reportShows(BenchService &service, int count, const std::function<bool(int)> &connected)
{
    const QJsonArray sources = service.lastReport().value(QStringLiteral("sourcesInfo")).toArray();
    if (sources.size() != count)
        return false;
    for (int i = 0; i < count; ++i) {
        if (sources[i].toObject().value(QStringLiteral("isConnected")).toBool() != connected(i))
            return false;
    }
    return true;
}

// CPU seconds per minute of the program over the next `seconds`.
double measure(const BenchProcessUsage &usage, int seconds)
{
    const double before = usage.cpuSeconds();
    QThread::sleep(seconds);
    return (usage.cpuSeconds() - before) * 60.0 / seconds;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "bench-program: " << message << '\n';
    return 1;
}

// How many "isConnected changed to true" lines the program in `folder` has logged.
int connectedLines(const QString &folder)
{
    int count = 0;
    QDirIterator logs(folder, {QStringLiteral("*.log")}, QDir::Files);
    while (logs.hasNext()) {
        QFile log(logs.next());
        if (!log.open(QIODevice::ReadOnly))
            continue;
        while (!log.atEnd())
            count += log.readLine().contains("isConnected changed to true");
    }
    return count;
}

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// Starts `program --headless` in `folder` on a saved session of its own.
bool startHeadless(QProcess &process, const QString &program, const QString &folder,
                   BenchService &service, const QByteArray &settings)
{
    const QString sid = service.login();
    QFile file(folder + QStringLiteral("/vellacast.ini"));
    if (sid.isEmpty() || !file.open(QIODevice::WriteOnly))
        return false;
    file.write("[General]\nusername=demo\nsid=" + sid.toUtf8() + '\n' + settings);
    file.close();
    process.setWorkingDirectory(folder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELLACAST_SERVICE_URL"), service.url());
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(folder + QStringLiteral("/output.txt"));
    process.setStandardErrorFile(folder + QStringLiteral("/output.txt"), QIODevice::Append);
    process.start(program, {QStringLiteral("--headless")});
    return process.waitForStarted();
}

void stopProcess(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(2000);
}

// The --metrics mode (see the top of the file).
int compareMetrics(const QString &program, const QString &servicePath, int sources, int seconds,
                   int settle)
{
    QString error;
    BenchService service;
    if (!service.start(servicePath, sources, &error))
        return fail(error);
    QTemporaryDir offDir;
    QTemporaryDir onDir;
    const quint16 port = freePort();
    QProcess off;
    QProcess on;
    const bool started =
        startHeadless(off, program, offDir.path(), service, QByteArray()) &&
        startHeadless(on, program, onDir.path(), service,
                      "metricsAddress=127.0.0.1:" + QByteArray::number(port) + '\n');
    const auto stopBoth = [&] {
        stopProcess(off);
        stopProcess(on);
    };
    if (!started) {
        stopBoth();
        return fail(QStringLiteral("the headless programs did not start"));
    }
    const auto allConnected = [&] {
        return connectedLines(offDir.path()) >= sources && connectedLines(onDir.path()) >= sources;
    };
    if (!waitUntil(allConnected, ConnectTimeoutMs)) {
        stopBoth();
        return fail(QStringLiteral("the sources did not all connect"));
    }
    BenchScraper scraper(port, 1000);
    scraper.start();
    QThread::sleep(settle);
    const BenchProcessUsage offUsage(off.processId());
    const BenchProcessUsage onUsage(on.processId());
    const double offBefore = offUsage.cpuSeconds();
    const double onBefore = onUsage.cpuSeconds();
    QThread::sleep(seconds);
    const double offPerMin = (offUsage.cpuSeconds() - offBefore) * 60.0 / seconds;
    const double onPerMin = (onUsage.cpuSeconds() - onBefore) * 60.0 / seconds;
    scraper.stop();
    stopBoth();
    if (scraper.answered() == 0)
        return fail(QStringLiteral("the metrics endpoint never answered"));
    const QJsonObject result{
        {QStringLiteral("mode"), QStringLiteral("metrics")},
        {QStringLiteral("sources"), sources},
        {QStringLiteral("phase_seconds"), seconds},
        {QStringLiteral("cpu_s_per_min_metrics_off"), offPerMin},
        {QStringLiteral("cpu_s_per_min_metrics_on_scraped"), onPerMin},
        {QStringLiteral("cpu_s_per_min_difference"), onPerMin - offPerMin},
        {QStringLiteral("scrapes_answered"), scraper.answered()},
        {QStringLiteral("scrapes_failed"), scraper.failed()},
    };
    QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << '\n';
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("CPU, memory and threads of the program."));
    parser.addHelpOption();
    const QCommandLineOption sourcesOption(QStringLiteral("sources"),
                                           QStringLiteral("Paced sources, 1 to 3 (3)."),
                                           QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of each phase (20)."),
                                           QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption settleOption(QStringLiteral("settle"),
                                          QStringLiteral("Seconds to wait before each phase (3)."),
                                          QStringLiteral("s"), QStringLiteral("3"));
    const QString folder = QCoreApplication::applicationDirPath();
    const QCommandLineOption programOption(QStringLiteral("program"),
                                           QStringLiteral("The program."), QStringLiteral("path"),
                                           folder + QStringLiteral("/vellacast"));
    const QCommandLineOption serviceOption(
        QStringLiteral("service"), QStringLiteral("The demo service."), QStringLiteral("path"),
        folder + QStringLiteral("/vellacast-devservice"));
    const QCommandLineOption keepOption(
        QStringLiteral("keep"),
        QStringLiteral("Keep the program's working folder (settings, log) and name it."));
    const QCommandLineOption metricsOption(
        QStringLiteral("metrics"),
        QStringLiteral("Compare headless programs with the metrics endpoint off and on."));
    parser.addOptions({sourcesOption, secondsOption, settleOption, programOption, serviceOption,
                       keepOption, metricsOption});
    parser.process(app);
    const int sources = parser.value(sourcesOption).toInt();
    const int seconds = parser.value(secondsOption).toInt();
    const int settle = parser.value(settleOption).toInt();
    if (sources < 1 || sources > 3 || seconds < 1 || settle < 0)
        return fail(QStringLiteral("--sources takes 1 to 3, --seconds 1 or more"));
    if (parser.isSet(metricsOption)) {
        return compareMetrics(parser.value(programOption), parser.value(serviceOption), sources,
                              seconds, settle);
    }

    QString error;
    BenchDisplay display;
    if (!display.open(&error))
        return fail(error);
    BenchService service;
    if (!service.start(parser.value(serviceOption), sources, &error))
        return fail(error);

    // A saved session logs the program in at start, as after any restart of it; the window
    // hides on close without asking.
    QTemporaryDir workDir;
    if (parser.isSet(keepOption)) {
        workDir.setAutoRemove(false);
        QTextStream(stderr) << "bench-program: working folder " << workDir.path() << '\n';
    }
    const QString sid = service.login();
    if (sid.isEmpty())
        return fail(QStringLiteral("the demo service refused the login"));
    QFile settings(workDir.filePath(QStringLiteral("vellacast.ini")));
    if (!settings.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("can not write the settings"));
    settings.write("[General]\nusername=demo\nsid=" + sid.toUtf8() +
                   "\nshowKeepRunningDialog=false\n");
    settings.close();

    QProcess program;
    program.setWorkingDirectory(workDir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELLACAST_SERVICE_URL"), service.url());
    program.setProcessEnvironment(environment);
    program.setStandardOutputFile(workDir.filePath(QStringLiteral("output.txt")));
    program.setStandardErrorFile(workDir.filePath(QStringLiteral("output.txt")), QIODevice::Append);
    program.start(parser.value(programOption), {});
    if (!program.waitForStarted())
        return fail(QStringLiteral("the program did not start"));
    const qint64 pid = program.processId();
    const BenchProcessUsage usage(pid);
    const auto stop = [&program] {
        program.terminate();
        if (!program.waitForFinished(10000))
            program.kill();
        program.waitForFinished(2000);
    };

    unsigned long window = 0;
    const auto shownOrEnded = [&] {
        window = display.shownWindowOf(pid);
        return window != 0 || program.state() == QProcess::NotRunning;
    };
    if (!waitUntil(shownOrEnded, ConnectTimeoutMs) || !window) {
        stop();
        return fail(
            QStringLiteral("the program showed no window (exit code %1)").arg(program.exitCode()));
    }
    const auto allConnected = [](int) { return true; };
    const auto firstStalled = [](int i) { return i != 0; };
    if (!waitUntil([&] { return reportShows(service, sources, allConnected); }, ConnectTimeoutMs)) {
        stop();
        return fail(QStringLiteral("the sources did not all connect"));
    }

    QThread::sleep(settle);
    const double shown = measure(usage, seconds);
    const double rssMiB = usage.rssMiB();
    const int threads = usage.threads();

    service.switchStream(1, QStringLiteral("stall"));
    if (!waitUntil([&] { return reportShows(service, sources, firstStalled); }, ConnectTimeoutMs)) {
        stop();
        return fail(QStringLiteral("the program did not see the first source stall"));
    }
    QThread::sleep(settle);
    const double shownStalled = measure(usage, seconds);

    display.requestClose(window);
    if (!waitUntil([&] { return !display.isShown(window); }, 10000)) {
        stop();
        return fail(QStringLiteral("the window did not hide"));
    }
    QThread::sleep(settle);
    const double hiddenStalled = measure(usage, seconds);

    service.switchStream(1, QStringLiteral("normal"));
    if (!waitUntil([&] { return reportShows(service, sources, allConnected); }, ConnectTimeoutMs)) {
        stop();
        return fail(QStringLiteral("the first source did not come back"));
    }
    QThread::sleep(settle);
    const double hidden = measure(usage, seconds);
    const double rssAfterMiB = usage.rssMiB();
    stop();
    // Only the first source was made to stall: a disconnection of any other is audio lost.
    int otherDisconnects = 0;
    QDirIterator logs(workDir.path(), {QStringLiteral("*.log")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (logs.hasNext()) {
        QFile log(logs.next());
        if (!log.open(QIODevice::ReadOnly))
            continue;
        while (!log.atEnd()) {
            const QByteArray line = log.readLine();
            otherDisconnects +=
                line.contains("isConnected changed to false") && !line.contains("/stream/1.mp3");
        }
    }

    const QJsonObject result{
        {QStringLiteral("sources"), sources},
        {QStringLiteral("phase_seconds"), seconds},
        {QStringLiteral("private_display"), display.isPrivate()},
        {QStringLiteral("cpu_s_per_min_shown"), shown},
        {QStringLiteral("cpu_s_per_min_shown_first_stalled"), shownStalled},
        {QStringLiteral("stalled_to_shown"), shown > 0 ? shownStalled / shown : 0.0},
        {QStringLiteral("cpu_s_per_min_hidden"), hidden},
        {QStringLiteral("cpu_s_per_min_hidden_first_stalled"), hiddenStalled},
        {QStringLiteral("rss_mib"), rssMiB},
        {QStringLiteral("rss_mib_at_end"), rssAfterMiB},
        {QStringLiteral("threads"), threads},
        {QStringLiteral("other_sources_disconnects"), otherDisconnects},
    };
    QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << '\n';
    return 0;
}
