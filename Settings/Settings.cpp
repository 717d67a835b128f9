#include "Settings/Settings.h"
#include "Utilities/LocalizedStrings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

namespace overlook::Settings {

namespace {
constexpr const char* kBundle = "Settings_Settings";
} // namespace

QString localizedString(const char* key) {
    const QString text = bundleString(kBundle, key);
    return text.isEmpty() ? QString::fromUtf8(key) : text;
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
