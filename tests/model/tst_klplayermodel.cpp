#include "rep_klplayer_merged.h"

#include <QMetaProperty>
#include <QRandomGenerator>
#include <QRemoteObjectHost>
#include <QRemoteObjectNode>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>

// A source with the control slots recorded and the protected setters reachable.
class TestSource : public KLPlayerSimpleSource
{
    Q_OBJECT

public:
    using KLPlayerSimpleSource::KLPlayerSimpleSource;
    using KLPlayerSimpleSource::setAvailableBitrates;
    using KLPlayerSimpleSource::setBufferedLength;
    using KLPlayerSimpleSource::setCurrentBitrate;
    using KLPlayerSimpleSource::setCurrentQuality;
    using KLPlayerSimpleSource::setIsHls;
    using KLPlayerSimpleSource::setIsPaused;
    using KLPlayerSimpleSource::setIsPlaying;
    using KLPlayerSimpleSource::setIsSeekable;
    using KLPlayerSimpleSource::setIsStalled;
    using KLPlayerSimpleSource::setIsStopped;
    using KLPlayerSimpleSource::setLength;
    using KLPlayerSimpleSource::setLevel;
    using KLPlayerSimpleSource::setLevelDb;
    using KLPlayerSimpleSource::setMeta;
    using KLPlayerSimpleSource::setPlayingBitrates;
    using KLPlayerSimpleSource::setStartPosition;
    using KLPlayerSimpleSource::setState;
    using KLPlayerSimpleSource::setStreams;

    void play(QUrl url) override { calls.append(QStringLiteral("play ") + url.toString()); }
    void play() override { calls.append(QStringLiteral("play")); }
    void pause() override { calls.append(QStringLiteral("pause")); }
    void stop() override { calls.append(QStringLiteral("stop")); }
    void skipForward(double duration) override
    {
        calls.append(QStringLiteral("skipForward %1").arg(duration));
    }
    void skipBackward(double duration) override
    {
        calls.append(QStringLiteral("skipBackward %1").arg(duration));
    }

    QStringList calls;
};

// A source that takes a pushed position as a seek request instead of storing it.
class SeekingSource : public TestSource
{
    Q_OBJECT

public:
    void setPosition(double position) override { seeks.append(position); }

    QList<double> seeks;
};

// A replica whose property cache a test can fill with values of the wrong type.
class ProbeReplica : public KLPlayerReplica
{
    Q_OBJECT

public:
    using KLPlayerReplica::setProperties;
};

using Setter = std::function<void(TestSource &, const QVariant &)>;
Q_DECLARE_METATYPE(Setter)

namespace {

KLPlaylistStreams streamsOf(const QList<std::pair<uint, QString>> &pairs)
{
    KLPlaylistStreams streams;
    for (const auto &[bitrate, url] : pairs)
        streams.insert(bitrate, QUrl(url));
    return streams;
}

template <typename T> Setter writerOf(void (KLPlayerSimpleSource::*function)(T))
{
    return [function](TestSource &source, const QVariant &value) {
        (source.*function)(value.value<std::decay_t<T>>());
    };
}

QMetaProperty propertyOf(const QObject &object, const char *name)
{
    const QMetaObject *meta = object.metaObject();
    return meta->property(meta->indexOfProperty(name));
}

} // namespace

class tst_KLPlayerModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void definition();
    void freshSimpleSource();

    void setter_data();
    void setter();
    void streamsInAnotherOrder();
    void pushCallsVirtualSetter();

    void replicaCannotConvert_data();
    void replicaCannotConvert();
    void remoteRoundTrip();
};

void tst_KLPlayerModel::initTestCase()
{
    KLPlayerReplica::registerMetatypes();
}

void tst_KLPlayerModel::definition()
{
    const QMetaObject &meta = KLPlayerSource::staticMetaObject;
    QStringList properties;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
        properties.append(QString::fromLatin1(meta.property(i).name()));
    // The order is the index order of a replica's property cache: it must not move.
    const QStringList expected = {"streamUrl",
                                  "isRestarted",
                                  "isHls",
                                  "isSeekable",
                                  "state",
                                  "isPlaying",
                                  "isStalled",
                                  "isPaused",
                                  "isStopped",
                                  "length",
                                  "bufferedLength",
                                  "startPosition",
                                  "position",
                                  "isUpdatesLevel",
                                  "level",
                                  "levelDb",
                                  "playbackRate",
                                  "meta",
                                  "volume",
                                  "duckVolume",
                                  "streams",
                                  "playingBitrates",
                                  "availableBitrates",
                                  "currentBitrate",
                                  "currentQuality",
                                  "playingBitrate",
                                  "playingQuality",
                                  "isMeasuresLoudness",
                                  "loudnessMomentary",
                                  "loudnessShortTerm"};
    QCOMPARE(properties, expected);

    const QMetaEnum state = QMetaEnum::fromType<KLPlayerSource::State>();
    QCOMPARE(state.keyCount(), 5);
    QCOMPARE(state.keyToValue("PlayingState"), 0);
    QCOMPARE(state.keyToValue("StalledState"), 1);
    QCOMPARE(state.keyToValue("PausedState"), 2);
    QCOMPARE(state.keyToValue("StoppedState"), 3);
    QCOMPARE(state.keyToValue("ErrorState"), 4);
    const QMetaEnum quality = QMetaEnum::fromType<KLPlayerSource::Quality>();
    QCOMPARE(quality.keyCount(), 4);
    QCOMPARE(quality.keyToValue("AutoQuality"), 0);
    QCOMPARE(quality.keyToValue("HighQuality"), 1);
    QCOMPARE(quality.keyToValue("MidQuality"), 2);
    QCOMPARE(quality.keyToValue("LowQuality"), 3);
    QCOMPARE(int(KLPlayerReplica::ErrorState), 4);
    QCOMPARE(int(KLPlayerReplica::LowQuality), 3);

    QCOMPARE(QMetaType::fromName("KLPlaylistStreams"), QMetaType::fromType<KLPlaylistStreams>());
    QCOMPARE(
        QString::fromLatin1(meta.classInfo(meta.indexOfClassInfo("RemoteObject Type")).value()),
        QStringLiteral("KLPlayer"));
    QCOMPARE(
        meta.classInfo(meta.indexOfClassInfo("RemoteObject Signature")).value(),
        KLPlayerReplica::staticMetaObject
            .classInfo(KLPlayerReplica::staticMetaObject.indexOfClassInfo("RemoteObject Signature"))
            .value());
}

void tst_KLPlayerModel::freshSimpleSource()
{
    TestSource source;
    QCOMPARE(source.state(), KLPlayerSource::PlayingState);
    QCOMPARE(source.volume(), 0.0);
    const QMetaObject *meta = source.metaObject();
    for (int i = KLPlayerSource::staticMetaObject.propertyOffset(); i < meta->propertyCount();
         ++i) {
        const QMetaProperty property = meta->property(i);
        QCOMPARE(property.read(&source), QVariant(property.metaType()));
    }
}

void tst_KLPlayerModel::setter_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<Setter>("set");
    QTest::addColumn<QVariant>("first");
    QTest::addColumn<QVariant>("second");

    const auto row = [](const char *property, Setter set, const QVariant &first,
                        const QVariant &second) {
        QTest::newRow(property) << QByteArray(property) << set << first << second;
    };
    // Push properties, written through their public setters.
    row("streamUrl", writerOf(&TestSource::setStreamUrl), QUrl("http://a.example/1"),
        QUrl("http://a.example/2"));
    row("isRestarted", writerOf(&TestSource::setIsRestarted), true, false);
    row("position", writerOf(&TestSource::setPosition), 10.5, 0.25);
    row("isUpdatesLevel", writerOf(&TestSource::setIsUpdatesLevel), true, false);
    row("playbackRate", writerOf(&TestSource::setPlaybackRate), 1.0, 1.5);
    row("volume", writerOf(&TestSource::setVolume), 0.5, 1.0);
    row("duckVolume", writerOf(&TestSource::setDuckVolume), true, false);
    row("playingBitrate", writerOf(&TestSource::setPlayingBitrate), QVariant::fromValue(128000u),
        QVariant::fromValue(64000u));
    row("playingQuality", writerOf(&TestSource::setPlayingQuality),
        QVariant::fromValue(KLPlayerSource::HighQuality),
        QVariant::fromValue(KLPlayerSource::LowQuality));
    // Read-only properties, written through the protected setters.
    row("isHls", writerOf(&TestSource::setIsHls), true, false);
    row("isSeekable", writerOf(&TestSource::setIsSeekable), true, false);
    row("state", writerOf(&TestSource::setState), QVariant::fromValue(KLPlayerSource::StoppedState),
        QVariant::fromValue(KLPlayerSource::ErrorState));
    row("isPlaying", writerOf(&TestSource::setIsPlaying), true, false);
    row("isStalled", writerOf(&TestSource::setIsStalled), true, false);
    row("isPaused", writerOf(&TestSource::setIsPaused), true, false);
    row("isStopped", writerOf(&TestSource::setIsStopped), true, false);
    row("length", writerOf(&TestSource::setLength), 215.5, 0.0);
    row("bufferedLength", writerOf(&TestSource::setBufferedLength), 3.0, 4.0);
    row("startPosition", writerOf(&TestSource::setStartPosition), 12.0, 0.0);
    row("level", writerOf(&TestSource::setLevel), 0.75, 0.0);
    row("levelDb", writerOf(&TestSource::setLevelDb), -std::numeric_limits<double>::infinity(),
        -6.0);
    row("meta", writerOf(&TestSource::setMeta), QStringLiteral("Artist - Title"), QString());
    row("streams", writerOf(&TestSource::setStreams),
        QVariant::fromValue(streamsOf({{64000, "http://a.example/lo"}})),
        QVariant::fromValue(
            streamsOf({{64000, "http://a.example/lo"}, {64000, "http://b.example/lo"}})));
    row("playingBitrates", writerOf(&TestSource::setPlayingBitrates),
        QVariant::fromValue(QList<quint32>{64000, 128000}),
        QVariant::fromValue(QList<quint32>{128000, 64000}));
    row("availableBitrates", writerOf(&TestSource::setAvailableBitrates),
        QVariant::fromValue(QList<quint32>{32000}), QVariant::fromValue(QList<quint32>{}));
    row("currentBitrate", writerOf(&TestSource::setCurrentBitrate), QVariant::fromValue(96000u),
        QVariant::fromValue(0u));
    row("currentQuality", writerOf(&TestSource::setCurrentQuality),
        QVariant::fromValue(KLPlayerSource::MidQuality),
        QVariant::fromValue(KLPlayerSource::AutoQuality));
}

void tst_KLPlayerModel::setter()
{
    QFETCH(QByteArray, property);
    QFETCH(Setter, set);
    QFETCH(QVariant, first);
    QFETCH(QVariant, second);

    TestSource source;
    const QMetaProperty meta = propertyOf(source, property);
    QVERIFY(meta.isValid());
    QSignalSpy spy(&source, meta.notifySignal());
    QVERIFY(spy.isValid());

    set(source, first);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0), first);
    QCOMPARE(meta.read(&source), first);

    set(source, first);
    QCOMPARE(spy.size(), 1);

    set(source, second);
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.at(1).at(0), second);
    QCOMPARE(meta.read(&source), second);

    // Writing through the meta-object reaches the same setter, for push properties only.
    QCOMPARE(meta.write(&source, first), meta.isWritable());
    QCOMPARE(spy.size(), meta.isWritable() ? 3 : 2);
    QCOMPARE(meta.write(&source, first), meta.isWritable());
    QCOMPARE(spy.size(), meta.isWritable() ? 3 : 2);
}

void tst_KLPlayerModel::streamsInAnotherOrder()
{
    const KLPlaylistStreams forward = streamsOf({{64000, "http://a.example/lo"},
                                                 {128000, "http://a.example/hi"},
                                                 {128000, "http://b.example/hi"}});
    const KLPlaylistStreams backward = streamsOf({{128000, "http://b.example/hi"},
                                                  {128000, "http://a.example/hi"},
                                                  {64000, "http://a.example/lo"}});
    TestSource source;
    QSignalSpy spy(&source, &KLPlayerSource::streamsChanged);
    source.setStreams(forward);
    QCOMPARE(spy.size(), 1);
    source.setStreams(backward);
    QCOMPARE(spy.size(), 1);

    // The same bitrate with another address is a change.
    source.setStreams(streamsOf({{64000, "http://a.example/lo"},
                                 {128000, "http://a.example/hi"},
                                 {128000, "http://c.example/hi"}}));
    QCOMPARE(spy.size(), 2);
}

void tst_KLPlayerModel::pushCallsVirtualSetter()
{
    SeekingSource source;
    QSignalSpy positionSpy(&source, &KLPlayerSource::positionChanged);
    QSignalSpy volumeSpy(&source, &KLPlayerSource::volumeChanged);

    source.pushPosition(10);
    QCOMPARE(source.seeks, QList<double>{10});
    QCOMPARE(source.position(), 0.0);
    QCOMPARE(positionSpy.size(), 0);

    source.pushVolume(0.5);
    QCOMPARE(source.volume(), 0.5);
    QCOMPARE(volumeSpy.size(), 1);
    QCOMPARE(volumeSpy.at(0).at(0).toDouble(), 0.5);

    source.pushPlayingQuality(KLPlayerSource::MidQuality);
    QCOMPARE(source.playingQuality(), KLPlayerSource::MidQuality);
}

void tst_KLPlayerModel::replicaCannotConvert_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("message");

    const QVariant map = QVariantMap{{"not", "convertible"}};
    QTest::newRow("volume") << QByteArray("volume") << map
                            << "QtRO cannot convert the property volume to type double";
    QTest::newRow("streams")
        << QByteArray("streams") << QVariant(QUrl("http://a.example"))
        << "QtRO cannot convert the property streams to type KLPlaylistStreams";
    QTest::newRow("currentBitrate") << QByteArray("currentBitrate") << map
                                    << "QtRO cannot convert the property currentBitrate to type "
                                       "quint32";
    QTest::newRow("state") << QByteArray("state") << map
                           << "QtRO cannot convert the property state to type State";
}

void tst_KLPlayerModel::replicaCannotConvert()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    QFETCH(QString, message);

    ProbeReplica replica;
    const QMetaObject *meta = replica.metaObject();
    const int offset = KLPlayerReplica::staticMetaObject.propertyOffset();
    QVariantList properties;
    for (int i = offset; i < meta->propertyCount(); ++i)
        properties.append(QVariant(meta->property(i).metaType()));
    const int index = meta->indexOfProperty(property) - offset;
    QVERIFY(index >= 0);
    properties[index] = value;
    replica.setProperties(std::move(properties));

    QTest::ignoreMessage(QtWarningMsg, qPrintable(message));
    const QVariant read = meta->property(offset + index).read(&replica);
    // The getter answers the converted default value.
    QCOMPARE(read, QVariant(meta->property(offset + index).metaType()));
}

void tst_KLPlayerModel::remoteRoundTrip()
{
    const QUrl address(QStringLiteral("local:tst_klplayermodel_%1_%2")
                           .arg(QCoreApplication::applicationPid())
                           .arg(QRandomGenerator::global()->generate()));
    TestSource source;
    source.setVolume(0.8);
    source.setState(KLPlayerSource::StoppedState);
    source.setStreamUrl(QUrl("http://a.example/live"));

    QRemoteObjectHost host(address);
    QVERIFY(host.enableRemoting(&source));

    QRemoteObjectNode node;
    QVERIFY(node.connectToNode(address));
    QScopedPointer<KLPlayerReplica> replica(node.acquire<KLPlayerReplica>());
    QVERIFY(replica->waitForSource(5000));
    QCOMPARE(replica->volume(), 0.8);
    QCOMPARE(replica->state(), KLPlayerReplica::StoppedState);
    QCOMPARE(replica->streamUrl(), QUrl("http://a.example/live"));

    // Source to replica: plain values, the enumeration, the lists and the hash.
    QSignalSpy volumeSpy(replica.data(), &KLPlayerReplica::volumeChanged);
    QSignalSpy streamsSpy(replica.data(), &KLPlayerReplica::streamsChanged);
    const KLPlaylistStreams streams = streamsOf({{64000, "http://a.example/lo"},
                                                 {128000, "http://a.example/hi"},
                                                 {128000, "http://b.example/hi"}});
    source.setVolume(0.25);
    source.setState(KLPlayerSource::ErrorState);
    source.setStreams(streams);
    source.setPlayingBitrates({64000, 128000});
    QTRY_COMPARE(streamsSpy.size(), 1);
    QCOMPARE(volumeSpy.size(), 1);
    QCOMPARE(volumeSpy.at(0).at(0).toDouble(), 0.25);
    QCOMPARE(replica->volume(), 0.25);
    QCOMPARE(replica->state(), KLPlayerReplica::ErrorState);
    QCOMPARE(replica->streams(), streams);
    QCOMPARE(replica->playingBitrates(), (QList<quint32>{64000, 128000}));

    // Replica to source: push slots and control slots.
    replica->pushVolume(0.5);
    replica->pushPlayingQuality(KLPlayerReplica::HighQuality);
    replica->play(QUrl("http://a.example/other"));
    replica->skipForward(5);
    replica->stop();
    QTRY_COMPARE(source.calls.size(), 3);
    QCOMPARE(source.calls, (QStringList{"play http://a.example/other", "skipForward 5", "stop"}));
    QCOMPARE(source.volume(), 0.5);
    QCOMPARE(source.playingQuality(), KLPlayerSource::HighQuality);
    QTRY_COMPARE(replica->volume(), 0.5);

    // Signals without a property.
    QSignalSpy errorSpy(replica.data(), &KLPlayerReplica::error);
    QSignalSpy endedSpy(replica.data(), &KLPlayerReplica::ended);
    emit source.error(QStringLiteral("Can not open"));
    emit source.ended();
    QTRY_COMPARE(endedSpy.size(), 1);
    QCOMPARE(errorSpy.size(), 1);
    QCOMPARE(errorSpy.at(0).at(0).toString(), QStringLiteral("Can not open"));
}

QTEST_GUILESS_MAIN(tst_KLPlayerModel)
#include "tst_klplayermodel.moc"
