// The Updates pane's rows over a real store, and "Check Now…" against a feed
// served on 127.0.0.1.

#include "Foundation/MainQueue.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"
#include "tests/updates/FeedServer.h"
#include "updates/UpdatesPane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::updates;

namespace {

class UpdatesPane : public ::testing::Test {
protected:
    void SetUp() override {
        ensureOffscreenApplication();
        store_ = UserDefaults::open(folder_.dir(), "pane");
    }
    void TearDown() override { manualMainQueue().drain(); }
    std::unique_ptr<Updater> updater(std::optional<std::string> feed = std::nullopt,
                                     std::optional<std::string> channel = std::nullopt) {
        return std::make_unique<Updater>(std::make_shared<UpdaterDelegate>(
            ApplicationInfo{"io.overlook.Overlook", "1.0", std::move(feed), std::move(channel)}, store_));
    }
    test::TempSettings folder_;
    std::shared_ptr<UserDefaults> store_;
};

} // namespace

TEST_F(UpdatesPane, RowsFollowAndWriteTheSettings) {
    auto u = updater(std::nullopt, "betas");
    UpdatesPreferencesView pane(*u);
    EXPECT_EQ(pane.lastCheck()->text(), "Never");
    EXPECT_EQ(pane.updateFrequency()->currentText(), "Daily");
    EXPECT_EQ(pane.updateFrequency()->itemText(0), "Hourly");
    EXPECT_EQ(pane.updateFrequency()->itemText(2), "Weekly");
    EXPECT_EQ(pane.updateFrequency()->width(), 100);
    EXPECT_TRUE(pane.includeBetas()->isChecked()); // the channel's default
    EXPECT_FALSE(pane.checkForUpdates()->isChecked());
    EXPECT_EQ(pane.width(), 600);

    // Writes.
    pane.updateFrequency()->activated(2);
    EXPECT_EQ(store_->doubleForKey(Updater::kCheckIntervalKey), 604800);
    pane.checkForUpdates()->click();
    pane.automaticallyDownloadsUpdates()->click();
    pane.sendsSystemProfile()->click();
    pane.includeBetas()->click();
    EXPECT_TRUE(u->automaticallyChecksForUpdates());
    EXPECT_TRUE(u->automaticallyDownloadsUpdates());
    EXPECT_TRUE(u->sendsSystemProfile());
    EXPECT_FALSE(u->delegate()->includeBetaReleases());
    EXPECT_TRUE(store_->persistentDomain().contains(kIncludeBetasKey)); // the user's choice is stored

    // Follows changes made elsewhere.
    store_->set(Updater::kCheckIntervalKey, PropertyList(86400.0));
    store_->set(kIncludeBetasKey, PropertyList(true));
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{QDateTime::currentSecsSinceEpoch()}));
    manualMainQueue().drain();
    EXPECT_EQ(pane.updateFrequency()->currentText(), "Daily");
    EXPECT_TRUE(pane.includeBetas()->isChecked());
    EXPECT_TRUE(pane.lastCheck()->text().startsWith("Today at ")) << pane.lastCheck()->text().toStdString();
    store_->set(Updater::kCheckIntervalKey, PropertyList(1234.0));
    manualMainQueue().drain();
    EXPECT_EQ(pane.updateFrequency()->currentIndex(), -1); // none of the three
}

TEST(LastCheckText, RelativeWording) {
    const QDateTime now(QDate(2024, 5, 1), QTime(14, 3));
    EXPECT_EQ(lastCheckText(std::nullopt, now), "Never");
    EXPECT_TRUE(lastCheckText(QDateTime(QDate(2024, 5, 1), QTime(9, 0)), now).startsWith("Today at "));
    EXPECT_TRUE(lastCheckText(QDateTime(QDate(2024, 4, 30), QTime(23, 59)), now).startsWith("Yesterday at "));
    const QString older = lastCheckText(QDateTime(QDate(2024, 3, 2), QTime(8, 5)), now);
    EXPECT_TRUE(older.contains("2024") && older.contains(" at ")) << older.toStdString();
}

TEST_F(UpdatesPane, CheckNowShowsTheResultInItsDialog) {
    test::FeedServer server;
    server.serve("/feed.xml", {200, test::appcast({"1.0", "2.1"})});
    server.serve("/broken.xml", {500, "oops"});
    auto u = updater(server.url("/feed.xml").toStdString());
    UpdatesPreferencesView pane(*u);
    pane.checkNowButton()->click();
    ASSERT_TRUE(pane.checkDialog());
    EXPECT_EQ(pane.checkDialog()->headline()->text(), "Checking for updates…");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u->isChecking(); }, 10000));
    EXPECT_EQ(pane.checkDialog()->headline()->text(), "Version 2.1 is available");
    EXPECT_TRUE(pane.checkDialog()->message()->text().contains("https://downloads.example/overlook-2.1.tar.gz"));
    EXPECT_TRUE(pane.checkDialog()->releaseNotes()->toPlainText().contains("Notes for 2.1"));
    EXPECT_TRUE(pane.lastCheck()->text().startsWith("Today at "));

    // A failed check leaves the date of the last good one.
    store_->removeObject(Updater::kLastCheckDateKey);
    auto failing = updater(server.url("/broken.xml").toStdString());
    UpdatesPreferencesView other(*failing);
    other.checkNowButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !failing->isChecking(); }, 10000));
    EXPECT_EQ(other.checkDialog()->headline()->text(), "Update check failed");
    EXPECT_TRUE(other.checkDialog()->message()->text().contains("HTTP 500"));
    EXPECT_EQ(other.lastCheck()->text(), "Never");
}
