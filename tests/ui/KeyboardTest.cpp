// Return presses the focused button, elsewhere the dialog's default one;
// Escape cancels; every field is announced by a label or a name of its own.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "tests/support/FakeHelp.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeTimeZoneStore.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempSettings.h"
#include "tests/ui/TestProgram.h"
#include "ui/CDSTDlg.h"
#include "ui/CNewServerDlg.h"
#include "ui/CParamDlg.h"
#include "ui/CServerDlg.h"
#include "ui/TrayIcon.h"

namespace {

class SilentTray final : public TrayPlatform {
public:
    bool Available() const override { return true; }
    void Notify(TrayAction, const QIcon&, const QString&) override {}
};

// Closes every modal dialog that a key opens, noting its title.
QString CloseModalsWhile(const std::function<void()>& act) {
    QString opened;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = modal->windowTitle();
            modal->reject();
        }
    });
    poll.start(10);
    act();
    return opened;
}

void PressOn(QDialog& dialog, const char* name, Qt::Key key = Qt::Key_Return) {
    auto* widget = dialog.findChild<QWidget*>(name);
    ASSERT_NE(widget, nullptr) << name;
    widget->setFocus();
    QTest::keyClick(widget, key);
}

void ExpectEveryFieldAnnounced(QDialog& dialog) {
    QList<QWidget*> fields;
    for (auto* w : dialog.findChildren<QLineEdit*>()) {
        // A spin box's own editor is announced through the spin box.
        if (qobject_cast<QAbstractSpinBox*>(w->parentWidget()) == nullptr) {
            fields << w;
        }
    }
    for (auto* w : dialog.findChildren<QAbstractSpinBox*>())
        fields << w;
    for (auto* w : dialog.findChildren<QPlainTextEdit*>())
        fields << w;
    for (auto* w : dialog.findChildren<QTreeWidget*>())
        fields << w;
    for (QWidget* field : fields) {
        bool labelled = !field->accessibleName().isEmpty();
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            labelled = labelled || label->buddy() == field;
        }
        EXPECT_TRUE(labelled) << dialog.objectName().toStdString() << ": "
                              << field->objectName().toStdString();
    }
}

struct Forms {
    TempSettings temp;
    Settings& settings = temp.settings;
    FakeTimeZoneStore zones{TIME_ZONE_ID_UNKNOWN, {}};
    FakePrompts prompts;
    FakeHelp help;
    TrayIcon tray{[] { return true; }, std::make_unique<SilentTray>()};
    int measured = 0;
    ServerMeasure measure = [this](const std::string&, const std::string&, std::stop_token) {
        ++measured;
        return 0.0;
    };

    Forms() {
        settings.servers.Add(CServer("First", "first.example", 0));
        settings.servers.Add(CServer("Second", "second.example", 0));
        settings.nSynPeriod = 3;
        settings.SaveOptions();
        settings.SaveServers();
        // Held in memory only: a dialog's OK stores it, its Cancel does not.
        settings.nMaxDays = 7;
        settings.nStartingServ = 1;
    }
};

struct Press {
    const char* widget;
    Qt::Key key;
    int result;           // the dialog's result afterwards; -1: still open
    const char* outcome;  // what else shows that the right action ran
};

}  // namespace

TEST(KeyboardTest, ReturnPressesTheFocusedButtonElsewhereTheDefaultAndEscapeCancels) {
    constexpr int kOpen = -1;
    const std::vector<Press> options = {
        {"IDCANCEL", Qt::Key_Return, QDialog::Rejected, "stored nothing"},
        {"IDC_RESTORE_DEFAULT", Qt::Key_Return, kOpen, "defaults in memory"},
        {"IDC_HELP", Qt::Key_Return, kOpen, "help"},
        {"IDC_EDIT_DST", Qt::Key_Return, kOpen, "DST editor"},
        {"IDC_MINUTES", Qt::Key_Return, QDialog::Accepted, "stored"},
        {"IDC_TIMEOUT", Qt::Key_Escape, QDialog::Rejected, "stored nothing"},
        {"IDOK", Qt::Key_Return, QDialog::Accepted, "stored"},
    };
    for (const Press& press : options) {
        Forms f;
        const std::string before = f.temp.StoredFile();
        CParamDlg dialog(f.settings, f.tray, f.zones, f.prompts, f.help);
        dialog.show();
        ExpectEveryFieldAnnounced(dialog);
        const QString opened = CloseModalsWhile([&] { PressOn(dialog, press.widget, press.key); });
        const std::string outcome = press.outcome;
        EXPECT_EQ(dialog.isVisible() ? kOpen : dialog.result(), press.result) << press.widget;
        EXPECT_EQ(f.temp.StoredFile() != before, outcome == "stored") << press.widget;
        EXPECT_EQ(f.settings.nSynPeriod == 0, outcome == "defaults in memory") << press.widget;
        EXPECT_EQ(!f.help.Pages().empty(), outcome == "help") << press.widget;
        EXPECT_EQ(!opened.isEmpty(), outcome == "DST editor") << press.widget;
    }

    const std::vector<Press> chooser = {
        {"IDCANCEL", Qt::Key_Return, QDialog::Rejected, "stored nothing"},
        {"IDC_DELETE_SELECTED", Qt::Key_Return, kOpen, "one server left"},
        {"IDC_ADD_NEW", Qt::Key_Return, kOpen, "Add New Server"},
        {"IDC_TEST", Qt::Key_Return, kOpen, "measured"},
        {"IDC_FIND_BEST", Qt::Key_Return, kOpen, "measured"},
        {"IDC_RESTORE_DEFAULT", Qt::Key_Return, kOpen, "defaults in memory"},
        {"IDC_SERVER_LIST", Qt::Key_Return, QDialog::Accepted, "stored"},
        {"IDC_SERVER_LIST", Qt::Key_Escape, QDialog::Rejected, "stored nothing"},
        {"IDOK", Qt::Key_Return, QDialog::Accepted, "stored"},
    };
    for (const Press& press : chooser) {
        Forms f;
        const std::string before = f.temp.StoredFile();
        CServerDlg dialog(f.settings, f.prompts, f.help, f.measure, [] {});
        dialog.show();
        ExpectEveryFieldAnnounced(dialog);
        const QString opened = CloseModalsWhile([&] {
            PressOn(dialog, press.widget, press.key);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.Testing(); }));
        });
        const std::string outcome = press.outcome;
        EXPECT_EQ(dialog.isVisible() ? kOpen : dialog.result(), press.result) << press.widget;
        EXPECT_EQ(f.temp.StoredFile() != before, outcome == "stored") << press.widget;
        EXPECT_EQ(f.measured > 0, outcome == "measured") << press.widget;
        EXPECT_EQ(f.settings.servers.GetSize() > 2, outcome == "defaults in memory") << press.widget;
        EXPECT_EQ(opened.toStdString(), outcome == "Add New Server" ? outcome : "") << press.widget;
        EXPECT_EQ(dialog.WorkingList().GetSize() == 1, outcome == "one server left") << press.widget;
    }

    const std::vector<Press> addServer = {
        {"IDCANCEL", Qt::Key_Return, QDialog::Rejected, "added nothing"},
        {"IDC_CHECK_SERVER", Qt::Key_Return, kOpen, "measured"},
        {"IDC_URL", Qt::Key_Return, QDialog::Accepted, "added"},
        {"IDC_TITLE", Qt::Key_Escape, QDialog::Rejected, "added nothing"},
        {"IDOK", Qt::Key_Return, QDialog::Accepted, "added"},
    };
    for (const Press& press : addServer) {
        Forms f;
        CNewServerDlg dialog(f.settings, f.measure);
        dialog.show();
        ExpectEveryFieldAnnounced(dialog);
        PressOn(dialog, press.widget, press.key);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.Checking(); }));
        const std::string outcome = press.outcome;
        EXPECT_EQ(dialog.isVisible() ? kOpen : dialog.result(), press.result) << press.widget;
        EXPECT_EQ(f.settings.servers.GetSize() == 3, outcome == "added") << press.widget;
        EXPECT_EQ(f.measured > 0, outcome == "measured") << press.widget;
    }
}

// Every label that names a field and every button has an Alt+letter of its
// own in its form; the letter takes a label to its field and a check box or
// radio button to itself (push buttons are not pressed: their actions run).
TEST(KeyboardTest, EveryLabelAndButtonHasAMnemonicOfItsOwnAndItLeadsToItsControl) {
    Forms f;
    TempFolder config;
    QTemporaryDir sockets;
    TestProgramOptions options;
    options.configFolder = config.Path();
    options.instanceName = sockets.filePath(QStringLiteral("Tidewell-test"));
    TestProgram program(options);
    ASSERT_TRUE(program.app.InitInstance());
    CParamDlg param(f.settings, f.tray, f.zones, f.prompts, f.help);
    CServerDlg chooser(f.settings, f.prompts, f.help, f.measure, [] {});
    CNewServerDlg addServer(f.settings, f.measure);
    CDSTDlg dst(f.zones, f.prompts, f.help, {});
    const std::vector<QDialog*> forms = {&program.mainDlg, &param, &chooser, &addServer, &dst};
    for (QDialog* form : forms) {
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
        std::vector<std::pair<QString, QWidget*>> controls;  // text, where its letter leads
        for (QLabel* label : form->findChildren<QLabel*>()) {
            if (label->buddy() != nullptr) {
                controls.emplace_back(label->text(), label->buddy());
            }
        }
        for (QAbstractButton* button : form->findChildren<QAbstractButton*>()) {
            controls.emplace_back(button->text(), qobject_cast<QPushButton*>(button) ? nullptr : button);
        }
        QSet<QChar> taken;
        for (const auto& [text, target] : controls) {
            const QString where = form->objectName() + ": " + text;
            const qsizetype at = text.indexOf(QLatin1Char('&'));
            ASSERT_TRUE(at >= 0 && at + 1 < text.size()) << where.toStdString();
            const QChar letter = text.at(at + 1).toUpper();
            EXPECT_FALSE(taken.contains(letter)) << where.toStdString();
            taken.insert(letter);
            if (target != nullptr && target->isVisibleTo(form) && target->isEnabled()) {
                QTest::keyClick(form, static_cast<Qt::Key>(letter.unicode()), Qt::AltModifier);
                EXPECT_EQ(QApplication::focusWidget(), target) << where.toStdString();
            }
        }
        form->hide();
    }
}
