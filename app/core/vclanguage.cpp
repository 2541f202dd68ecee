#include "vclanguage.h"

#include <QDebug>
#include <QTranslator>

namespace {

const QString english = QStringLiteral("en");

} // namespace

VCLanguage::VCLanguage(const QString &setting, const QStringList &systemUiLanguages)
{
    if (setting == QLatin1String("system")) {
        const QString first = systemUiLanguages.value(0);
        qDebug() << "System language" << first;
        // The C and POSIX locales (LANG=C.UTF-8 on servers and in containers) name no language;
        // their messages are English.
        if (first == QLatin1String("C") || first == QLatin1String("POSIX"))
            m_code = english;
        else
            m_code = first.left(2);
    } else if (setting == english) {
        m_code = english;
    } else {
        m_code = QStringLiteral("ru");
    }
    if (m_code.isEmpty()) {
        qWarning() << "Language is empty, using deafult - ru";
        m_code = QStringLiteral("ru");
    }
}

bool VCLanguage::load(QTranslator &translator, const QString &directory) const
{
    const QString prefix = QStringLiteral("vellacast_");
    if (translator.load(prefix + m_code, directory))
        return true;
    qWarning() << "Can not load translator";
    // The English translation also mends the source texts.
    return m_code != english && translator.load(prefix + english, directory);
}
