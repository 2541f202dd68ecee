// Runs the Qt Quick tests of the program's QML documents against a stand-in hub.

#include <QApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTranslator>
#include <QtQuickTest>

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("1.1.15"));
        // VC_LANGUAGE=ru renders the documents with the Russian translation.
        const QString language = qEnvironmentVariable("VC_LANGUAGE");
        if (!language.isEmpty()) {
            auto *translator = new QTranslator(QCoreApplication::instance());
            if (translator->load(QStringLiteral("vellacast_") + language,
                                 QStringLiteral(VC_TRANSLATIONS_DIR)))
                QCoreApplication::installTranslator(translator);
            else
                qFatal("Can not load the %s translation", qPrintable(language));
        }
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("screenshotDirectory"),
                                                  qEnvironmentVariable("VC_SCREENSHOTS"));
        engine->rootContext()->setContextProperty(QStringLiteral("screenshotLanguage"),
                                                  qEnvironmentVariable("VC_LANGUAGE", "en"));
    }
};

int main(int argc, char **argv)
{
    // The tray icon and its menu need the widget application, as in the program.
    QApplication app(argc, argv);
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "tst_qml", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_qml.moc"
