#include "Overlook/PreferencesCommand.h"

#include "Overlook/ContentViews.h"
#include "Overlook/DesktopNotifier.h"
#include "Overlook/GeneralPane.h"
#include "Overlook/PreferenceKeys.h"

#include <QFile>
#include <QPointer>

#include "settings_store/UserDefaults.h"

#ifdef OVERLOOK_UPDATER
#include "updates/UpdatesPane.h"
#include "updates/Updater.h"
#endif

namespace overlook {

namespace {

#ifdef OVERLOOK_UPDATER
// The application's information entries, fixed when the program is built.
updates::ApplicationInfo applicationInfo() {
    updates::ApplicationInfo info{UserDefaults::kStandardSuite, OVERLOOK_VERSION, std::nullopt, std::nullopt};
    if (const std::string feed = OVERLOOK_FEED_URL; !feed.empty())
        info.feedURL = feed;
    if (const std::string channel = OVERLOOK_UPDATE_CHANNEL; !channel.empty())
        info.updateChannel = channel;
    return info;
}

// The updater's notices as desktop notifications.
class UpdateDesktopNotifier final : public updates::UpdateNotifier {
public:
    explicit UpdateDesktopNotifier(DesktopNotifier* notifier) : notifier_(notifier) {}
    void notify(const updates::UpdateNotice& notice) override {
        if (notifier_)
            // No open path: the updater opens its package itself, once verified again.
            notifier_->notify({notice.summary, notice.body, {}, notice.failure, notice.actions, notice.onAction});
    }

private:
    QPointer<DesktopNotifier> notifier_;
};
#endif

} // namespace

PreferencesCommand::PreferencesCommand(std::shared_ptr<UserDefaults> store) {
    if (!store)
        store = UserDefaults::standard();
    std::vector<Settings::Pane> panes;
    if (!QFile::exists(QStringLiteral(":/icons/gear.svg")))
        qFatal("The application's gear image is missing");
    panes.emplace_back(Settings::PaneIdentifier{"general"}, QStringLiteral("General"), symbolIcon("gear"),
                       new GeneralPreferences);
#ifdef OVERLOOK_UPDATER
    updater_ = std::make_shared<updates::Updater>(
        std::make_shared<updates::UpdaterDelegate>(applicationInfo(), store));
    auto* updatesView = new updates::UpdatesPreferencesView(*updater_);
    panes.emplace_back(Settings::PaneIdentifier{"updates"}, QStringLiteral("Updates"), symbolIcon("arrow.down.circle"),
                       updatesView);
#endif
    windowController_ = std::make_unique<Settings::SettingsWindowController>(
        std::move(panes), Settings::Style::toolbarItems, /*animated=*/true, /*hidesToolbarForSingleItem=*/true,
        std::move(store));
#ifdef OVERLOOK_UPDATER
    QObject::connect(updater_.get(), &updates::Updater::showUpdateRequested, updatesView,
                     [this, updatesView](const updates::UpdateCheckResult& result) {
                         windowController_->show(Settings::PaneIdentifier{"updates"});
                         updatesView->showUpdate(result);
                     });
#endif
}

void PreferencesCommand::setNotifier(DesktopNotifier* notifier) {
#ifdef OVERLOOK_UPDATER
    updateNotifier_ = std::make_shared<UpdateDesktopNotifier>(notifier);
    updater_->setNotifier(updateNotifier_.get());
#else
    (void)notifier;
#endif
}

PreferencesCommand::~PreferencesCommand() = default;

void PreferencesCommand::preferencesMenuItemActionHandler() {
    // show() also raises the window and asks the window manager for the focus.
    windowController_->show();
}

} // namespace overlook
