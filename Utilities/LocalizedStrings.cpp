#include "Utilities/LocalizedStrings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <map>
#include <mutex>
#include <string>

namespace overlook {

namespace {

QJsonObject loadTable(const char* bundle) {
    const QString language = QLocale().name().section(QLatin1Char('_'), 0, 0);
    for (const QString& candidate : {language, QStringLiteral("en")}) {
        QFile file(QStringLiteral(":/%1/%2.json").arg(QLatin1String(bundle), candidate));
        if (file.open(QIODevice::ReadOnly))
            return QJsonDocument::fromJson(file.readAll()).object();
    }
    qFatal("unable to find bundle named %s", bundle);
}

} // namespace

QString bundleString(const char* bundle, const char* key) {
    static std::mutex mutex;
    static std::map<std::string, QJsonObject> tables;
    std::lock_guard lock(mutex);
    auto it = tables.find(bundle);
    if (it == tables.end())
        it = tables.emplace(bundle, loadTable(bundle)).first;
    const QJsonValue text = it->second.value(QLatin1String(key));
    return text.isString() ? text.toString() : QString();
}

} // namespace overlook
