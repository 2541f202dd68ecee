#include "klplayoptions.h"

#include <kldaast.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

namespace {

// An absolute address from text; invalid when the text is not one.
QUrl absoluteUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

// A recording device's address ("record:N") as it is; anything else as a file or web address.
QUrl addressOf(const QString &argument)
{
    static const QRegularExpression record(QStringLiteral("^record:\\d+$"));
    if (record.match(argument).hasMatch())
        return QUrl(argument);
    return QUrl::fromUserInput(argument, QDir::currentPath(), QUrl::AssumeLocalFile);
}

struct Options
{
    QCommandLineOption seconds{QStringLiteral("seconds"), QStringLiteral("Stop after N seconds."),
                               QStringLiteral("N")};
    QCommandLineOption seek{
        QStringLiteral("seek"),
        QStringLiteral("Once playing, seek to SECONDS and print the position as it changes."),
        QStringLiteral("SECONDS")};
    QCommandLineOption device{
        QStringLiteral("device"),
        QStringLiteral("Output device number (-1 default, 0 no sound; see --devices)."),
        QStringLiteral("N"), QStringLiteral("-1")};
    QCommandLineOption volume{QStringLiteral("volume"), QStringLiteral("Volume from 0 to 1."),
                              QStringLiteral("V"), QStringLiteral("1")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("One JSON object per line and event.")};
    QCommandLineOption devices{
        QStringLiteral("devices"),
        QStringLiteral("List the output devices, then the recording devices (record:N).")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Show the library's debug lines.")};
    QCommandLineOption metaUrl{QStringLiteral("meta-url"),
                               QStringLiteral("Poll the now-playing description from URL."),
                               QStringLiteral("URL")};
    QCommandLineOption metaIdUrl{
        QStringLiteral("meta-id-url"),
        QStringLiteral("Poll the now-playing identifier from URL (with --meta-url)."),
        QStringLiteral("URL")};
    QCommandLineOption ad{QStringLiteral("ad"),
                          QStringLiteral("Play the ad of the ad document at AD_URL first."),
                          QStringLiteral("AD_URL")};
    QCommandLineOption adTimeout{
        QStringLiteral("ad-timeout"),
        QStringLiteral("Time limit of the ad document request in ms (0: none)."),
        QStringLiteral("MS"), QString::number(KLDaast::defaultTimeoutMs)};
};

} // namespace

bool KLPlayOptions::parse(const QCoreApplication &app, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays a stream and prints state changes, metadata, bitrate and levels."));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("url"),
        QStringLiteral("Stream address, local file or recording device (record:N)."));
    const Options o;
    parser.addOptions({o.seconds, o.seek, o.device, o.volume, o.json, o.devices, o.verbose,
                       o.metaUrl, o.metaIdUrl, o.ad, o.adTimeout});
    parser.process(app);

    listDevices = parser.isSet(o.devices);
    json = parser.isSet(o.json);
    verbose = parser.isSet(o.verbose);
    if (listDevices)
        return true;

    const QStringList args = parser.positionalArguments();
    const bool withMeta = parser.isSet(o.metaUrl);
    if (args.size() > 1 || (args.isEmpty() && !withMeta)) {
        *error = parser.helpText();
        return false;
    }
    auto fail = [error](const char *text) {
        *error = QStringLiteral("klplay: ") + QLatin1String(text) + QLatin1Char('\n');
        return false;
    };
    if (withMeta && (metaUrl = absoluteUrl(parser.value(o.metaUrl))).isEmpty())
        return fail("--meta-url takes an absolute address");
    if (parser.isSet(o.metaIdUrl) &&
        ((metaIdUrl = absoluteUrl(parser.value(o.metaIdUrl))).isEmpty() || !withMeta))
        return fail("--meta-id-url takes an absolute address, with --meta-url");
    if (parser.isSet(o.ad) &&
        ((adUrl = absoluteUrl(parser.value(o.ad))).isEmpty() || args.isEmpty()))
        return fail("--ad takes an absolute address, with a stream address");

    bool ok = true;
    adTimeoutMs = parser.value(o.adTimeout).toInt(&ok);
    if (!ok || adTimeoutMs < 0)
        return fail("--ad-timeout takes a number of ms, 0 or above");
    if (parser.isSet(o.seconds)) {
        seconds = parser.value(o.seconds).toDouble(&ok);
        if (!ok || seconds <= 0)
            return fail("--seconds takes a number above 0");
    }
    if (parser.isSet(o.seek)) {
        seekTo = parser.value(o.seek).toDouble(&ok);
        if (args.isEmpty() || !ok || seekTo < 0)
            return fail("--seek takes a number of seconds, 0 or above, with a stream address");
    }
    device = parser.value(o.device).toInt(&ok);
    if (!ok || device < -1)
        return fail("--device takes -1 or a device number");
    volume = parser.value(o.volume).toDouble(&ok);
    if (!ok || volume < 0 || volume > 1)
        return fail("--volume takes a number from 0 to 1");

    if (!args.isEmpty()) {
        url = addressOf(args.first());
        if (!url.isValid()) {
            *error = QStringLiteral("klplay: invalid address ") + args.first() + QLatin1Char('\n');
            return false;
        }
    }
    return true;
}
