#include <kldaastparser.h>

#include <QTest>

namespace {

// A complete ad: one linear audio creative and one image companion.
const QByteArray fullAd = R"(<?xml version="1.0" encoding="UTF-8"?>
<DAAST version="1.0">
  <Ad id="  ad
  7 ">
    <InLine>
      <AdSystem>Demo   ads</AdSystem>
      <AdTitle>
        Summer sale
      </AdTitle>
      <Impression><![CDATA[http://t.example/imp?a=1&b=2]]></Impression>
      <Error>http://t.example/error</Error>
      <Creatives>
        <Creative>
          <Linear>
            <Duration>00:00:30</Duration>
            <MediaFiles>
              <MediaFile type="video/mp4">http://m.example/ad.mp4</MediaFile>
              <MediaFile type="audio/mpeg"> http://m.example/ad.mp3 </MediaFile>
              <MediaFile type="audio/aac">http://m.example/ad.aac</MediaFile>
            </MediaFiles>
            <TrackingEvents>
              <Tracking event="start">http://t.example/start-1</Tracking>
              <Tracking event="start">http://t.example/start-2</Tracking>
              <Tracking event="midpoint">http://t.example/mid</Tracking>
              <Tracking>http://t.example/no-event</Tracking>
              <Tracking event="complete">  </Tracking>
            </TrackingEvents>
          </Linear>
        </Creative>
        <Creative>
          <CompanionAds>
            <Companion>
              <StaticResource creativeType="image/png">http://m.example/banner.png</StaticResource>
              <CompanionClickThrough>http://shop.example/</CompanionClickThrough>
              <CompanionClickTracking>http://t.example/click</CompanionClickTracking>
              <TrackingEvents>
                <Tracking event="creativeView">http://t.example/view</Tracking>
              </TrackingEvents>
            </Companion>
          </CompanionAds>
        </Creative>
      </Creatives>
    </InLine>
  </Ad>
</DAAST>
)";

using Edits = QList<QPair<QByteArray, QByteArray>>;

QByteArray edited(const Edits &edits)
{
    QByteArray document = fullAd;
    for (const auto &[from, to] : edits) {
        if (!document.contains(from))
            qFatal("test document has no %s", from.constData());
        document.replace(from, to);
    }
    return document;
}

bool isEmpty(const KLDaastParser &p)
{
    return !p.noBanner && p.adId.isEmpty() && p.adSystem.isEmpty() && p.adTitle.isEmpty() &&
           p.impressionUrl.isEmpty() && p.errorUrl.isEmpty() && p.linearMediaUrl.isEmpty() &&
           p.linearDuration.isEmpty() && p.linearTrackingUrls.isEmpty() &&
           p.companionImageUrl.isEmpty() && p.companionTrackingUrls.isEmpty() &&
           p.companionClickThroughUrl.isEmpty() && p.companionClickTrackingUrl.isEmpty();
}

} // namespace

class TestKLDaastParser : public QObject
{
    Q_OBJECT

private slots:
    void fullDocument();
    void accepted_data();
    void accepted();
    void wrapper();
    void rejected_data();
    void rejected();
};

void TestKLDaastParser::fullDocument()
{
    KLDaastParser parser;
    QVERIFY(parser.parse(fullAd));
    QVERIFY(!parser.noBanner);
    QCOMPARE(parser.adId, "ad 7");
    QCOMPARE(parser.adSystem, "Demo ads");
    QCOMPARE(parser.adTitle, "Summer sale");
    QCOMPARE(parser.impressionUrl, "http://t.example/imp?a=1&b=2");
    QCOMPARE(parser.errorUrl, "http://t.example/error");
    QCOMPARE(parser.linearMediaUrl, "http://m.example/ad.mp3");
    QCOMPARE(parser.linearDuration, "00:00:30");
    // The later "start" wins; no event or an empty address is no entry.
    const QMap<QString, QString> linear{{"start", "http://t.example/start-2"},
                                        {"midpoint", "http://t.example/mid"}};
    QCOMPARE(parser.linearTrackingUrls, linear);
    QCOMPARE(parser.companionImageUrl, "http://m.example/banner.png");
    QCOMPARE(parser.companionClickThroughUrl, "http://shop.example/");
    QCOMPARE(parser.companionClickTrackingUrl, "http://t.example/click");
    const QMap<QString, QString> companion{{"creativeView", "http://t.example/view"}};
    QCOMPARE(parser.companionTrackingUrls, companion);

    // A copy keeps the ad; clear() and a failed parse empty it.
    KLDaastParser copy = parser;
    parser.clear();
    QVERIFY(isEmpty(parser));
    QCOMPARE(copy.linearMediaUrl, "http://m.example/ad.mp3");
    QVERIFY(!copy.parse("<DAAST/>"));
    QVERIFY(isEmpty(copy));
}

void TestKLDaastParser::accepted_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("mediaUrl");
    QTest::addColumn<QString>("imageUrl");

    QTest::newRow("VAST root") << edited({{"<DAAST version=\"1.0\">", "<VAST version=\"3.0\">"},
                                          {"</DAAST>", "</VAST>"}})
                               << "http://m.example/ad.mp3"
                               << "http://m.example/banner.png";
    QTest::newRow("failed linear, then a good one")
        << edited({{"<Creative>\n          <CompanionAds>",
                    "<Creative><Linear><MediaFiles/></Linear></Creative>\n"
                    "<Creative><Linear><Duration>5</Duration><MediaFiles>"
                    "<MediaFile type=\"audio/ogg\">http://m.example/b.ogg</MediaFile>"
                    "</MediaFiles></Linear></Creative>\n"
                    "<Creative>\n          <CompanionAds>"},
                   {"type=\"audio/mpeg\"", "type=\"AUDIO/MPEG\""},
                   {"type=\"audio/aac\"", "type=\"video/aac\""}})
        << "http://m.example/b.ogg"
        << "http://m.example/banner.png";
    QTest::newRow("image/jpeg companion after a text/html one")
        << edited({{"<Creative>\n          <CompanionAds>",
                    "<Creative><CompanionAds><Companion>"
                    "<StaticResource creativeType=\"text/html\">x</StaticResource>"
                    "</Companion></CompanionAds></Creative>\n"
                    "<Creative>\n          <CompanionAds>"},
                   {"image/png", "image/jpeg"}})
        << "http://m.example/ad.mp3"
        << "http://m.example/banner.png";
    QTest::newRow("VAST 4 audio without companion, identifier ahead of the linear")
        << edited({{"<DAAST version=\"1.0\">", "<VAST version=\"4.1\">"},
                   {"</DAAST>", "</VAST>"},
                   {"<Error>http://t.example/error</Error>", ""},
                   {"<Creative>\n          <Linear>",
                    "<Creative><UniversalAdId idRegistry=\"x\">7</UniversalAdId><Linear>"},
                   {"<CompanionAds>", "<NonLinearAds>"},
                   {"</CompanionAds>", "</NonLinearAds>"}})
        << "http://m.example/ad.mp3" << QString();
}

// A wrapper gives the next address and its own addresses, which go ahead of the inline ad's.
void TestKLDaastParser::wrapper()
{
    KLDaastParser wrapper;
    QVERIFY(wrapper.parse(R"(<VAST version="3.0"><Ad><Wrapper><AdSystem>W</AdSystem>
      <VASTAdTagURI> http://ads.example/next.xml </VASTAdTagURI>
      <Impression>http://t.example/w-imp-1</Impression><Impression/>
      <Impression>http://t.example/w-imp-2</Impression><Error>http://t.example/w-err</Error>
      <Creatives><Creative><Linear><TrackingEvents>
        <Tracking event="start">http://t.example/w-start</Tracking>
      </TrackingEvents></Linear></Creative></Creatives></Wrapper></Ad></VAST>)"));
    QVERIFY(wrapper.isWrapper);
    QCOMPARE(wrapper.wrapperAdTagUrl, "http://ads.example/next.xml");
    QVERIFY(wrapper.linearMediaUrl.isEmpty());

    KLDaastParser inLine;
    QVERIFY(inLine.parse(fullAd));
    QVERIFY(!inLine.isWrapper);
    inLine.prependWrapper(wrapper);
    QCOMPARE(inLine.impressionUrls,
             QStringList({"http://t.example/w-imp-1", "http://t.example/w-imp-2",
                          "http://t.example/imp?a=1&b=2"}));
    QCOMPARE(inLine.errorUrls, QStringList({"http://t.example/w-err", "http://t.example/error"}));
    const QList<QPair<QString, QString>> tracking{{"start", "http://t.example/w-start"},
                                                  {"start", "http://t.example/start-1"},
                                                  {"start", "http://t.example/start-2"},
                                                  {"midpoint", "http://t.example/mid"}};
    QCOMPARE(inLine.trackingEvents, tracking);
}

void TestKLDaastParser::accepted()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, mediaUrl);
    QFETCH(QString, imageUrl);
    KLDaastParser parser;
    QVERIFY(parser.parse(document));
    QCOMPARE(parser.linearMediaUrl, mediaUrl);
    QCOMPARE(parser.companionImageUrl, imageUrl);
}

void TestKLDaastParser::rejected_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("noBanner");

    QTest::newRow("nobanner") << QByteArray("<nobanner/>") << true;
    QTest::newRow("nobanner with content")
        << QByteArray("<nobanner><Ad><InLine/></Ad></nobanner>") << true;
    QTest::newRow("not xml") << QByteArray("{\"ad\": 1}") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("other root") << edited({{"<DAAST version=\"1.0\">", "<VMAP>"},
                                           {"</DAAST>", "</VMAP>"}})
                                << false;
    QTest::newRow("no Error") << edited({{"<Error>http://t.example/error</Error>", ""}}) << false;
    QTest::newRow("no InLine, wrapper without address")
        << edited({{"<InLine>", "<Wrapper>"}, {"</InLine>", "</Wrapper>"}}) << false;
    QTest::newRow("only video media")
        << edited({{"audio/mpeg", "video/mp4"}, {"audio/aac", "video/webm"}}) << false;
    QTest::newRow("linear without Duration")
        << edited({{"<Duration>00:00:30</Duration>", ""}}) << false;
    QTest::newRow("text/html companion") << edited({{"image/png", "text/html"}}) << false;
    QTest::newRow("companion without click tracking")
        << edited({{"<CompanionClickTracking>http://t.example/click</CompanionClickTracking>", ""}})
        << false;
    QTest::newRow("linear but no companion")
        << edited({{"<CompanionAds>", "<NonLinearAds>"}, {"</CompanionAds>", "</NonLinearAds>"}})
        << false;
    // Network input: no entity definitions, no external entities, and a bounded size.
    QTest::newRow("external entity")
        << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE DAAST [<!ENTITY x SYSTEM "
                      "\"file:///etc/passwd\">]>\n") +
               fullAd.mid(fullAd.indexOf("<DAAST")).replace("Summer sale", "&x;")
        << false;
    QTest::newRow("entity expansion")
        << QByteArray("<!DOCTYPE nobanner [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                      "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><nobanner>&b;&b;</nobanner>")
        << false;
    QTest::newRow("over 1 MiB") << edited({{"Summer sale",
                                            QByteArray(KLDaastParser::maxDocumentSize, 'x')}})
                                << false;
}

void TestKLDaastParser::rejected()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, noBanner);
    KLDaastParser parser;
    parser.adTitle = QStringLiteral("left over");
    QCOMPARE(parser.parse(document), noBanner);
    QCOMPARE(parser.noBanner, noBanner);
    parser.noBanner = false;
    QVERIFY(isEmpty(parser));
}

QTEST_GUILESS_MAIN(TestKLDaastParser)
#include "tst_kldaastparser.moc"
