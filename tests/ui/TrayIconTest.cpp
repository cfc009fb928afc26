#include "ui/TrayIcon.h"

#include <gtest/gtest.h>

#include <vector>

#include "ui/ProgramIcon.h"
#include "ui/TrayTip.h"

namespace {

struct Notification {
    TrayAction action;
    QString tip;
    bool hasIcon;
    qint64 iconKey;
};

class RecordingTray final : public TrayPlatform {
public:
    explicit RecordingTray(std::vector<Notification>& log, bool available = true, bool doubleClicks = true)
        : m_log(log), m_available(available), m_doubleClicks(doubleClicks) {}
    bool Available() const override { return m_available; }
    bool DeliversDoubleClick() const override { return m_doubleClicks; }
    void Notify(TrayAction action, const QIcon& icon, const QString& tip) override {
        m_log.push_back({action, tip, !icon.isNull(), icon.cacheKey()});
    }

private:
    std::vector<Notification>& m_log;
    bool m_available;
    bool m_doubleClicks;
};

struct Tray {
    explicit Tray(bool available = true, bool doubleClicks = true)
        : icon([this] { return showIcon; }, std::make_unique<RecordingTray>(log, available, doubleClicks)) {}

    TrayAction Last() const { return log.back().action; }

    bool showIcon = true;
    std::vector<Notification> log;
    TrayIcon icon;
};

}  // namespace

TEST(TrayIconTest, OptionAndShownStateChooseTheActionPerformed) {
    struct Case {
        const char* name;
        bool showIcon;
        bool shownBefore;
        TrayAction requested;
        TrayAction performed;
        bool shownAfter;
    };
    const std::vector<Case> cases = {
        {"missing icon is added on modify", true, false, TrayAction::Modify, TrayAction::Add, true},
        {"missing icon is added on add", true, false, TrayAction::Add, TrayAction::Add, true},
        {"shown icon is modified", true, true, TrayAction::Modify, TrayAction::Modify, true},
        {"option off removes on modify", false, true, TrayAction::Modify, TrayAction::Delete, false},
        {"option off removes on add", false, false, TrayAction::Add, TrayAction::Delete, false},
        {"shown icon is deleted on delete", true, true, TrayAction::Delete, TrayAction::Delete, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tray tray;
        if (c.shownBefore) {
            tray.icon.Attach();
            ASSERT_TRUE(tray.icon.Shown());
        }
        tray.showIcon = c.showIcon;
        tray.icon.UpdateTrayIcon(c.requested);
        EXPECT_EQ(tray.Last(), c.performed);
        EXPECT_EQ(tray.icon.Shown(), c.shownAfter);
    }
}

TEST(TrayIconTest, AttachAddsTheProgramIconWithItsTipOnlyWhenTheOptionIsSet) {
    Tray shown;
    shown.icon.Attach();
    shown.icon.UpdateTrayIcon(TrayAction::Modify);  // as the main window follows Attach with it
    ASSERT_EQ(shown.log.size(), 2u);
    EXPECT_EQ(shown.log[0].action, TrayAction::Add);
    EXPECT_EQ(shown.log[1].action, TrayAction::Modify);
    EXPECT_EQ(shown.log[0].tip, "Tidewell");
    EXPECT_TRUE(shown.log[0].hasIcon);

    Tray hidden;
    hidden.showIcon = false;
    hidden.icon.Attach();
    hidden.icon.UpdateTrayIcon(TrayAction::Modify);
    EXPECT_EQ(hidden.log[0].action, TrayAction::Delete);
    EXPECT_EQ(hidden.log[1].action, TrayAction::Delete);
    EXPECT_FALSE(hidden.icon.Shown());
}

TEST(TrayIconTest, OptionsOkBringsTheIconInLineAndRemoveTakesItAway) {
    Tray tray;
    tray.icon.Attach();
    tray.showIcon = false;  // "Show Icon in System Tray." cleared, then OK
    tray.icon.UpdateTrayIcon(TrayAction::Modify);
    EXPECT_EQ(tray.Last(), TrayAction::Delete);
    tray.showIcon = true;  // and set again
    tray.icon.UpdateTrayIcon(TrayAction::Modify);
    EXPECT_EQ(tray.Last(), TrayAction::Add);

    tray.icon.Remove();
    EXPECT_EQ(tray.Last(), TrayAction::Delete);
    EXPECT_FALSE(tray.icon.Shown());
    // A removed icon is known to be gone: asked again, it comes back.
    tray.icon.UpdateTrayIcon(TrayAction::Modify);
    EXPECT_EQ(tray.Last(), TrayAction::Add);
}

TEST(TrayIconTest, TheTraysOwnWayOfClickingActivatesAndRightClickAsksForTheMenu) {
    using Reason = QSystemTrayIcon::ActivationReason;
    struct Case {
        bool doubleClicks;  // an XEmbed tray; otherwise a StatusNotifierItem host
        std::vector<Reason> events;
        int activated;
        int menus;
    };
    const std::vector<Case> cases = {
        // A double-click comes as a click, then the double-click: one activation.
        {true, {Reason::Trigger, Reason::DoubleClick}, 1, 0},
        {true, {Reason::Trigger, Reason::MiddleClick}, 0, 0},
        {true, {Reason::Context}, 0, 1},
        {false, {Reason::Trigger}, 1, 0},
        {false, {Reason::MiddleClick}, 0, 0},
        {false, {Reason::Context}, 0, 1},
    };
    for (const Case& c : cases) {
        Tray tray(true, c.doubleClicks);
        int activated = 0;
        int menus = 0;
        QObject::connect(&tray.icon, &TrayIcon::Activated, [&] { ++activated; });
        QObject::connect(&tray.icon, &TrayIcon::ContextRequested, [&](const QPoint&) { ++menus; });
        for (Reason reason : c.events) {
            tray.icon.OnActivated(reason);
        }
        EXPECT_EQ(activated, c.activated) << c.doubleClicks << " " << c.events.front();
        EXPECT_EQ(menus, c.menus) << c.doubleClicks << " " << c.events.front();
    }
}

TEST(TrayIconTest, ProgramIconIsRenderedForTheTraySizes) {
    Tray tray;
    tray.icon.Attach();
    ASSERT_TRUE(tray.log[0].hasIcon);
    const QIcon icon = ProgramIcon();
    for (const int size : {16, 22, 24, 32, 48}) {
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
    }
    // Drawn, not blank: the centre of the face is opaque.
    const QImage image = icon.pixmap(32, 32).toImage();
    EXPECT_EQ(qAlpha(image.pixel(16, 16)), 255);
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
}

TEST(TrayIconTest, WithoutANotificationAreaTheIconIsStillTrackedAndTheLackReported) {
    Tray tray(/*available=*/false);
    EXPECT_FALSE(tray.icon.Available());
    tray.icon.Attach();
    EXPECT_TRUE(tray.icon.Shown());

    // The real notification area, which the offscreen platform lacks: nothing fails.
    bool option = true;
    TrayIcon real([&] { return option; });
    real.Attach();
    EXPECT_TRUE(real.Shown());
    EXPECT_EQ(real.Available(), QSystemTrayIcon::isSystemTrayAvailable());
    option = false;
    real.UpdateTrayIcon(TrayAction::Modify);
    EXPECT_FALSE(real.Shown());
}

TEST(TrayIconTest, TheTipTellsTheLastAttemptAndAttentionMarksTheIconUntilCleared) {
    EXPECT_EQ(TrayTipText(
                  {"2026-12-08 17:05:12", AttemptOutcome::Success, "Success synchro", 0.0341, true, {}, {}}),
              "Tidewell\nLast attempt 2026-12-08 17:05:12: succeeded\nOffset +0.034 s NTS");
    // What comes next, and why automatic runs cannot succeed.
    EXPECT_EQ(
        TrayTipText({{}, AttemptOutcome::Failure, "Communication error!", {}, false, 3601, "Not allowed."}),
        "Tidewell\nCommunication error!\nNext automatic attempt: in 1 h 1 min\nNot allowed.");

    Tray tray;
    tray.icon.SetTip("early");  // before the icon is there: kept for it
    tray.icon.Attach();
    EXPECT_EQ(tray.log.back().tip, "early");
    const qint64 plain = tray.log.back().iconKey;
    tray.icon.SetAttention(true);
    EXPECT_NE(tray.log.back().iconKey, plain);
    tray.icon.SetAttention(false);
    EXPECT_EQ(tray.log.back().iconKey, plain);
}
