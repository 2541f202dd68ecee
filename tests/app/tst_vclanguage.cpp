#include "vclanguage.h"

#include <QRegularExpression>
#include <QTest>
#include <QTranslator>

// The interface language against the program's own compiled translations.
class TestLanguage : public QObject
{
    Q_OBJECT

private slots:
    void chosenAndLoaded_data();
    void chosenAndLoaded();
};

void TestLanguage::chosenAndLoaded_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("warning");   // empty: none
    QTest::addColumn<QString>("connected"); // how the main view says "connected"

    const QString en = QStringLiteral("Connected");
    const QString ru = QStringLiteral("Подключён");
    const QString noTranslator = QStringLiteral("Can not load translator");
    QTest::newRow("C locale") << "system" << QStringList{"C"} << "en"
                              << "" << en;
    QTest::newRow("POSIX locale") << "system" << QStringList{"POSIX"} << "en"
                                  << "" << en;
    QTest::newRow("English system") << "system" << QStringList{"en-US", "en"} << "en"
                                    << "" << en;
    QTest::newRow("Russian system") << "system" << QStringList{"ru-RU", "ru"} << "ru"
                                    << "" << ru;
    QTest::newRow("untranslated system")
        << "system" << QStringList{"de-DE", "de"} << "de" << noTranslator << en;
    QTest::newRow("no system language") << "system" << QStringList{} << "ru"
                                        << "Language is empty, using deafult - ru" << ru;
    QTest::newRow("English setting") << "en" << QStringList{"ru-RU"} << "en"
                                     << "" << en;
    QTest::newRow("other setting") << "fr" << QStringList{"en-US"} << "ru"
                                   << "" << ru;
}

void TestLanguage::chosenAndLoaded()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, code);
    QFETCH(QString, warning);
    QFETCH(QString, connected);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    const VCLanguage language(setting, uiLanguages);
    QCOMPARE(language.code(), code);
    QTranslator translator;
    QVERIFY(language.load(translator, QStringLiteral(VC_TRANSLATIONS_DIR)));
    QCOMPARE(translator.translate("VCSourceDelegateItem", "Conected"), connected);
}

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_vclanguage.moc"
