#pragma once
// How the updater tells the user about an update it found or fetched on its own:
// the application hands it a notifier (the desktop's notifications); tests hand it
// a recorder. Main thread only.

#include <QString>

#include <functional>
#include <utility>
#include <vector>

namespace overlook::updates {

struct UpdateNotice {
    QString summary;  // plain text
    QString body;     // plain text; the notifier escapes it where markup is read
    // The verified package the notice is about; empty: none. The updater opens it
    // itself (the "default" action) after checking it again, so a notifier must not
    // hand it to the desktop, nor show it as the notice's image.
    QString packagePath;
    bool failure = false;
    // Buttons as (key, label). The key "default" is also what a click on the
    // notification itself invokes.
    std::vector<std::pair<QString, QString>> actions;
    std::function<void(const QString& key)> onAction;
};

class UpdateNotifier {
public:
    virtual ~UpdateNotifier() = default;
    virtual void notify(const UpdateNotice& notice) = 0;
};

} // namespace overlook::updates
