#include "loudnessmeter.h"

#include <bass.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

// The loudness meter against ffmpeg's EBU R128 filter on the same audio, and the engine's
// attributes that report it for a playing stream.
class TestLoudnessMeter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesFfmpeg_data();
    void matchesFfmpeg();
    void silenceHasNoLoudness();
    void playingStreamReportsItsLoudness();

private:
    // Renders the lavfi source into a WAV file; empty on failure.
    QString render(const QString &name, const QString &source, int rate);
    // ffmpeg's last momentary and short-term values for the file.
    bool ffmpegLoudness(const QString &path, double *momentary, double *shortTerm);
    // The file as interleaved 16-bit samples, decoded by ffmpeg.
    QByteArray pcm(const QString &path);

    QTemporaryDir m_dir;
};

void TestLoudnessMeter::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestLoudnessMeter::render(const QString &name, const QString &source, int rate)
{
    const QString path = m_dir.filePath(name);
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", source, "-ar",
                            QString::number(rate), "-c:a", "pcm_s16le", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    return path;
}

bool TestLoudnessMeter::ffmpegLoudness(const QString &path, double *momentary, double *shortTerm)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-nostats", "-v", "verbose", "-i", path, "-af",
                            "ebur128=framelog=verbose", "-f", "null", "-"});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return false;
    const QString log = QString::fromUtf8(ffmpeg.readAllStandardError());
    static const QRegularExpression frame(
        QStringLiteral("M:\\s*(-?[0-9.]+|-inf)\\s+S:\\s*(-?[0-9.]+|-inf)"));
    QRegularExpressionMatch last;
    for (auto it = frame.globalMatch(log); it.hasNext();)
        last = it.next();
    if (!last.hasMatch())
        return false;
    *momentary = last.captured(1).toDouble();
    *shortTerm = last.captured(2).toDouble();
    return true;
}

QByteArray TestLoudnessMeter::pcm(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-i", path, "-f", "s16le", "-"});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    return ffmpeg.readAllStandardOutput();
}

void TestLoudnessMeter::matchesFfmpeg_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");

    // Noise of a programme's spectrum; tones where the K-weighting cuts (100 Hz) and lifts
    // (6 kHz); one channel only; a quiet and a loud passage within the last 3 s.
    QTest::newRow("pink noise, stereo, 44.1 kHz")
        << "anoisesrc=c=pink:a=0.2:d=6,pan=stereo|c0=c0|c1=c0" << 44100 << 2;
    QTest::newRow("100 Hz tone, 48 kHz")
        << "sine=f=100:d=5,volume=0.5,pan=stereo|c0=c0|c1=c0" << 48000 << 2;
    QTest::newRow("6 kHz tone on the left only")
        << "sine=f=6000:d=5,volume=0.3,pan=stereo|c0=c0|c1=0*c0" << 44100 << 2;
    QTest::newRow("mono white noise") << "anoisesrc=c=white:a=0.05:d=5" << 44100 << 1;
    QTest::newRow("loud then quiet")
        << "anoisesrc=c=pink:a=0.5:d=6,volume='if(lt(t,4.5),1,0.05)':eval=frame" << 44100 << 1;
}

void TestLoudnessMeter::matchesFfmpeg()
{
    QFETCH(QString, source);
    QFETCH(int, rate);
    QFETCH(int, channels);

    const QString path = render(QStringLiteral("audio.wav"), source, rate);
    QVERIFY2(!path.isEmpty(), "ffmpeg could not render the audio");
    double expectedM = 0, expectedS = 0;
    QVERIFY(ffmpegLoudness(path, &expectedM, &expectedS));
    const QByteArray samples = pcm(path);
    QVERIFY(!samples.isEmpty());

    engine::LoudnessMeter meter(rate, channels);
    QVERIFY(meter.isValid());
    // In uneven pieces, as a decoder delivers them.
    const auto *data = reinterpret_cast<const int16_t *>(samples.constData());
    const size_t frames = size_t(samples.size()) / 2 / size_t(channels);
    for (size_t done = 0; done < frames;) {
        const size_t piece = std::min<size_t>(1152, frames - done);
        meter.add(data + done * size_t(channels), piece);
        done += piece;
    }
    QVERIFY2(std::abs(meter.momentary() - expectedM) <= 0.5,
             qPrintable(QStringLiteral("M %1, ffmpeg %2").arg(meter.momentary()).arg(expectedM)));
    QVERIFY2(std::abs(meter.shortTerm() - expectedS) <= 0.5,
             qPrintable(QStringLiteral("S %1, ffmpeg %2").arg(meter.shortTerm()).arg(expectedS)));
}

void TestLoudnessMeter::silenceHasNoLoudness()
{
    engine::LoudnessMeter meter(44100, 2);
    QVERIFY(std::isinf(meter.shortTerm()) && meter.shortTerm() < 0);
    const std::vector<int16_t> silence(44100 * 2);
    meter.add(silence.data(), 44100);
    QVERIFY(std::isinf(meter.momentary()) && meter.momentary() < 0);
    QVERIFY(std::isinf(meter.shortTerm()) && meter.shortTerm() < 0);
}

void TestLoudnessMeter::playingStreamReportsItsLoudness()
{
    const QString path = render(QStringLiteral("noise.wav"),
                                "anoisesrc=c=pink:a=0.2:d=20,pan=stereo|c0=c0|c1=c0", 44100);
    QVERIFY(!path.isEmpty());
    double expectedM = 0, expectedS = 0;
    QVERIFY(ffmpegLoudness(path, &expectedM, &expectedS));

    QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); // "No sound"
    const QByteArray name = path.toLocal8Bit();
    const HSTREAM stream = BASS_StreamCreateFile(FALSE, name.constData(), 0, 0, 0);
    QVERIFY(stream);
    float value = 0;
    QVERIFY(BASS_ChannelGetAttribute(stream, BASS_ATTRIB_LOUDNESS_S, &value));
    QVERIFY(std::isinf(value)); // not measured yet
    QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_LOUDNESS, 1));
    QVERIFY(!BASS_ChannelSetAttribute(stream, BASS_ATTRIB_LOUDNESS_S, -23));
    QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    QVERIFY(BASS_ChannelPlay(stream, FALSE));
    // Steady noise: once a few seconds are measured, the short-term value is the file's.
    QTRY_VERIFY_WITH_TIMEOUT(BASS_ChannelGetAttribute(stream, BASS_ATTRIB_LOUDNESS_S, &value) &&
                                 std::abs(value - expectedS) <= 0.5,
                             15000);
    QVERIFY(BASS_ChannelGetAttribute(stream, BASS_ATTRIB_LOUDNESS_M, &value));
    QVERIFY(std::abs(value - expectedM) <= 1.0);
    // Off: the values go with the measuring.
    QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_LOUDNESS, 0));
    QTRY_VERIFY_WITH_TIMEOUT(BASS_ChannelGetAttribute(stream, BASS_ATTRIB_LOUDNESS_S, &value) &&
                                 std::isinf(value),
                             10000);
    BASS_ChannelFree(stream);
    BASS_Free();
}

QTEST_GUILESS_MAIN(TestLoudnessMeter)
#include "tst_loudnessmeter.moc"
