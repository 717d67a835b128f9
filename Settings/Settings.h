#pragma once
// The panes of the preferences window and how the window presents them.
//
// A Pane describes one page: its identifier, the title shown under its toolbar icon
// (and as the window title while it is active), the icon, and the widget that is its
// content. The window controller takes ownership of the content. Main thread only.

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <string>

namespace overlook::Settings {

struct PaneIdentifier {
    std::string rawValue;
    bool operator==(const PaneIdentifier&) const = default;
};

enum class Style {
    toolbarItems,     // one toolbar button per pane
    segmentedControl, // one segmented control centred in the toolbar
};

struct Pane {
    Pane(PaneIdentifier identifier, QString title, QIcon toolbarIcon, QWidget* content)
        : identifier(std::move(identifier)), title(std::move(title)), toolbarIcon(std::move(toolbarIcon)),
          content(content) {}

    PaneIdentifier identifier;
    QString title;
    QIcon toolbarIcon;
    // Owned by the window controller once the pane is handed to it.
    QPointer<QWidget> content;
};

// The localized text for `key` ("settings", "preferences") from this module's
// tables; the key itself where the table has no text for it. Without any table the
// program stops: the window cannot title itself.
QString localizedString(const char* key);

// The application's name as the window title uses it: the display name, else the
// name, else the executable's name, else "<Unknown App Name>".
QString applicationName();

} // namespace overlook::Settings

template <>
struct std::hash<overlook::Settings::PaneIdentifier> {
    std::size_t operator()(const overlook::Settings::PaneIdentifier& id) const noexcept {
        return std::hash<std::string>()(id.rawValue);
    }
};
