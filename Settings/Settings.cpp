#include "Settings/Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace overlook::Settings {

namespace {

constexpr const char* kBundle = "Settings_Settings";

const QJsonObject& strings() {
    static const QJsonObject table = [] {
        const QString language = QLocale().name().section(QLatin1Char('_'), 0, 0);
        for (const QString& candidate : {language, QStringLiteral("en")}) {
            QFile file(QStringLiteral(":/%1/%2.json").arg(QLatin1String(kBundle), candidate));
            if (file.open(QIODevice::ReadOnly))
                return QJsonDocument::fromJson(file.readAll()).object();
        }
        qFatal("unable to find bundle named %s", kBundle);
    }();
    return table;
}

} // namespace

QString localizedString(const char* key) {
    const QJsonValue text = strings().value(QLatin1String(key));
    return text.isString() ? text.toString() : QString::fromUtf8(key);
}

QString applicationName() {
    if (const QString display = QGuiApplication::applicationDisplayName(); !display.isEmpty())
        return display;
    if (const QString name = QCoreApplication::applicationName(); !name.isEmpty())
        return name;
    if (const QString executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName(); !executable.isEmpty())
        return executable;
    return QStringLiteral("<Unknown App Name>");
}

} // namespace overlook::Settings
