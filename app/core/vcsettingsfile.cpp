#include "vcsettingsfile.h"

#include "klcredentials.h"
#include "vcsource.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

QString VCSettingsFile::fileName()
{
    return QStringLiteral("vellacast.ini");
}

void VCSettingsFile::restrict()
{
    QFile file(fileName());
    if (!file.exists()) {
        // Created empty and private before anything is written into it.
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.close();
    }
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (file.permissions() & others)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

QList<VCSettingsFile::SavedSource> VCSettingsFile::readSources(QSettings *settings)
{
    QList<SavedSource> sources;
    const int size = settings->beginReadArray(QStringLiteral("sources"));
    for (int i = 0; i < size; ++i) {
        settings->setArrayIndex(i);
        const double volumeLevel = settings->value(QStringLiteral("volumeLevel"), 1.0).toDouble();
        const QString text = settings->value(QStringLiteral("streamUrl")).toString();
        const QUrl url(text, QUrl::TolerantMode);
        if (text.isEmpty() || !url.isValid()) {
            qWarning() << "Stream url" << KLCredentials::redacted(text)
                       << "from config is not valid";
            continue;
        }
        sources.append({url, volumeLevel});
    }
    settings->endArray();
    return sources;
}

void VCSettingsFile::writeSources(QSettings *settings, const QList<VCSource *> &sources)
{
    // Rows past the new end would stay in the file, stream credentials included.
    settings->remove(QStringLiteral("sources"));
    settings->beginWriteArray(QStringLiteral("sources"), sources.size());
    for (int i = 0; i < sources.size(); ++i) {
        settings->setArrayIndex(i);
        const VCSource *source = sources.at(i);
        settings->setValue(QStringLiteral("streamUrl"), source->streamUrl().toString());
        settings->setValue(QStringLiteral("volumeLevel"), source->volumeLevel());
    }
    settings->endArray();
}
