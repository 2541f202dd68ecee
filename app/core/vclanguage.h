#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

// The language of the user interface, chosen once at start from the "language" setting and the
// system's UI languages: "system" follows the system, "en" is English, any other value Russian.
// Texts that a language does not translate show in English, never as their source texts.
class VCLanguage
{
public:
    VCLanguage(const QString &setting, const QStringList &systemUiLanguages);

    // The two-letter code that names the translation file.
    QString code() const { return m_code; }

    // Loads "vellacast_" + code() from directory into translator, or the English translation
    // when code() has none. Returns whether one of them loaded.
    bool load(QTranslator &translator,
              const QString &directory = QStringLiteral(":/translations")) const;

private:
    QString m_code;
};
