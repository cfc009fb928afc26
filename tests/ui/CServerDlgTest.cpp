#include "ui/CServerDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "config/DefaultServers.h"
#include "core/SntpClient.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeHelp.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempSettings.h"
#include "ui/CNewServerDlg.h"

namespace {

constexpr int kWaitMs = 5000;

// Delays per host, answered on whatever thread asks; records the order asked.
// A host marked to hang waits until its stop is requested.
class TableMeasure {
public:
    void Set(const std::string& host, double delaySeconds) {
        std::lock_guard lock(m_mutex);
        m_delays[host] = delaySeconds;
    }
    void Hang(const std::string& host) {
        std::lock_guard lock(m_mutex);
        m_hanging = host;
    }
    std::vector<std::string> Asked() const {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }
    bool SawStop() const { return m_sawStop; }

    ServerMeasure Function() {
        return [this](const std::string&, const std::string& host, std::stop_token stop) {
            std::unique_lock lock(m_mutex);
            m_asked.push_back(host);
            if (host == m_hanging) {
                std::condition_variable_any woken;
                woken.wait(lock, stop, [] { return false; });
                m_sawStop = stop.stop_requested();
                return 0.0;
            }
            const auto found = m_delays.find(host);
            return found == m_delays.end() ? 0.0 : found->second;
        };
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, double> m_delays;
    std::vector<std::string> m_asked;
    std::string m_hanging;
    std::atomic<bool> m_sawStop{false};
};

struct ChooserFixture {
    // Servers "A" (a.example), "B", ... of the program's table.
    explicit ChooserFixture(int serverCount, int startingServer = 0) {
        for (int i = 0; i < serverCount; ++i) {
            const std::string name(1, static_cast<char>('A' + i));
            temp.settings.servers.Add(CServer(name, Host(i), 0));
        }
        temp.settings.nStartingServ = startingServer;
        temp.settings.SaveOptions();
        temp.settings.SaveServers();
        storedBefore = temp.StoredFile();
    }

    static std::string Host(int i) { return std::string(1, static_cast<char>('a' + i)) + ".example"; }

    std::unique_ptr<CServerDlg> Open() {
        auto dialog = std::make_unique<CServerDlg>(temp.settings, prompts, help, measure.Function(),
                                                   [this] { ++setCurrentServerCalls; });
        dialog->show();
        return dialog;
    }

    TempSettings temp;
    Settings& settings = temp.settings;
    std::string storedBefore;
    FakePrompts prompts;
    FakeHelp help;
    TableMeasure measure;
    int setCurrentServerCalls = 0;
};

QTreeWidget* List(QWidget& dialog) {
    return dialog.findChild<QTreeWidget*>("IDC_SERVER_LIST");
}

QString Text(QWidget& dialog, const char* name) {
    return dialog.findChild<QLineEdit*>(name)->text();
}

QPushButton* Button(QWidget& dialog, const char* name) {
    return dialog.findChild<QPushButton*>(name);
}

void Click(QWidget& dialog, const char* name) {
    QTest::mouseClick(Button(dialog, name), Qt::LeftButton);
}

void ClickRow(QWidget& dialog, int row) {
    QTreeWidget* list = List(dialog);
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

QStringList Column(QWidget& dialog, int column) {
    QStringList texts;
    QTreeWidget* list = List(dialog);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        texts << list->topLevelItem(i)->text(column);
    }
    return texts;
}

int SelectedRow(QWidget& dialog) {
    const auto selected = List(dialog)->selectedItems();
    return selected.isEmpty() ? -1 : List(dialog)->indexOfTopLevelItem(selected.front());
}

// Runs "Find the best" (or "Test") to its end, collecting every report shown on the way.
QStringList RunToEnd(CServerDlg& dialog, const char* button) {
    QStringList reports;
    QObject::connect(dialog.findChild<QLineEdit*>("IDC_REPORT"), &QLineEdit::textChanged,
                     [&](const QString& text) { reports << text; });
    QSignalSpy finished(&dialog, &CServerDlg::TestingFinished);
    Click(dialog, button);
    EXPECT_TRUE(finished.wait(kWaitMs));
    QObject::disconnect(dialog.findChild<QLineEdit*>("IDC_REPORT"), nullptr, nullptr, nullptr);
    return reports;
}

}  // namespace

TEST(CServerDlgTest, OpensOnTheStartingServerWithOneRowPerServer) {
    ChooserFixture f(5, 3);
    f.settings.servers[1].kind = 1;
    f.settings.servers[1].delay = 0.0412;
    auto dialog = f.Open();
    QTreeWidget* list = List(*dialog);
    EXPECT_EQ(list->headerItem()->text(0), "Name");
    EXPECT_EQ(list->headerItem()->text(1), "Status");
    EXPECT_EQ(list->headerItem()->text(2), "Delay(sec.)");
    EXPECT_EQ(Column(*dialog, 0), (QStringList{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(Column(*dialog, 1), (QStringList{"Prog", "User", "Prog", "Prog", "Prog"}));
    EXPECT_EQ(Column(*dialog, 2), (QStringList{"Null", "0.0412", "Null", "Null", "Null"}));
    EXPECT_EQ(SelectedRow(*dialog), 3);
    EXPECT_EQ(dialog->SelectedIndex(), 3);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "D");
    EXPECT_EQ(Text(*dialog, "IDC_REPORT"), "");

    ClickRow(*dialog, 1);
    EXPECT_EQ(dialog->SelectedIndex(), 1);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "B");
    // The keyboard moves the server the buttons act on as well.
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(dialog->SelectedIndex(), 2);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "C");
}

TEST(CServerDlgTest, FindTheBestTestsInListOrderReportsEachAndSelectsTheFirstFastest) {
    ChooserFixture f(4);
    const std::vector<double> delays = {0.2, 0.0, 0.1, 0.1};
    for (int i = 0; i < 4; ++i) {
        f.measure.Set(ChooserFixture::Host(i), delays[i]);
    }
    auto dialog = f.Open();
    const QStringList reports = RunToEnd(*dialog, "IDC_FIND_BEST");

    std::vector<std::string> asked = f.measure.Asked();
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"a.example", "b.example", "c.example", "d.example"}));
    EXPECT_EQ(reports,
              (QStringList{"Automatic testing...", "A  || Delay:   0.2 sec.", "B  || Delay: Null sec.",
                           "C  || Delay:   0.1 sec.", "D  || Delay:   0.1 sec.",
                           "Tested success: 3, faild: 1, the best delay: 0.100 for C"}));
    EXPECT_EQ(dialog->SelectedIndex(), 2);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "C");
    EXPECT_EQ(Column(*dialog, 2), (QStringList{"  0.2", "Null", "  0.1", "  0.1"}));
    EXPECT_EQ(SelectedRow(*dialog), -1);
    // In memory at once, stored only by OK.
    EXPECT_EQ(f.settings.servers[0].delay, 0.2);
    EXPECT_EQ(f.temp.StoredFile(), f.storedBefore);
    EXPECT_EQ(Button(*dialog, "IDC_FIND_BEST")->text(), "&Find the best");
    EXPECT_TRUE(Button(*dialog, "IDOK")->isEnabled());

    Click(*dialog, "IDOK");
    auto stored = f.temp.Reloaded();
    EXPECT_EQ(stored->nStartingServ, 2);
    EXPECT_EQ(stored->servers[2].DelayText(), "  0.1");
    EXPECT_EQ(f.setCurrentServerCalls, 1);
}

TEST(CServerDlgTest, FindTheBestAsksAtOnceWithinItsBoundAndReportsInListOrder) {
    // The first server answers last; the fastest come after it, the two last equal.
    ChooserFixture f(40);
    std::mutex mutex;
    int inFlight = 0;
    int mostInFlight = 0;
    const ServerMeasure measure = [&](const std::string&, const std::string& host, std::stop_token) {
        {
            std::lock_guard lock(mutex);
            mostInFlight = std::max(mostInFlight, ++inFlight);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(host == "a.example" ? 400 : 100));
        std::lock_guard lock(mutex);
        --inFlight;
        return host == "a.example" ? 0.3 : host >= "m.example" ? 0.05 : 0.2;
    };
    CServerDlg dialog(f.settings, f.prompts, f.help, measure, [] {});
    dialog.show();
    QElapsedTimer elapsed;
    elapsed.start();
    const QStringList reports = RunToEnd(dialog, "IDC_FIND_BEST");
    EXPECT_LT(elapsed.elapsed(), 1000) << "40 servers of 0.1 s in two rounds, not forty";
    EXPECT_EQ(mostInFlight, static_cast<int>(CServerDlg::kMaxParallel));
    ASSERT_EQ(reports.size(), 42);
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(reports[i + 1].startsWith(QString::fromStdString(f.settings.servers[i].title) + "  ||"))
            << reports[i + 1].toStdString();
    }
    EXPECT_EQ(dialog.SelectedIndex(), 12) << "the first of the fastest in list order";
}

// With only authenticated time, the plain servers are neither asked nor chosen.
TEST(CServerDlgTest, FindTheBestWithOnlyNtsMeasuresOnlyTheNtsServers) {
    ChooserFixture f(4);
    f.settings.servers[1].host = "nts://b.example";
    f.settings.servers[3].host = "nts://d.example";
    f.settings.bOnlyNts = 1;
    for (const char* host : {"a.example", "nts://b.example", "c.example", "nts://d.example"}) {
        f.measure.Set(host, host[0] == 'n' ? 0.2 : 0.1);
    }
    auto dialog = f.Open();
    const QStringList reports = RunToEnd(*dialog, "IDC_FIND_BEST");
    std::vector<std::string> asked = f.measure.Asked();
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"nts://b.example", "nts://d.example"}));
    EXPECT_EQ(reports,
              (QStringList{"Automatic testing...", "B  || Delay:   0.2 sec.", "D  || Delay:   0.2 sec.",
                           "Tested success: 2, faild: 0, the best delay: 0.200 for B"}));
    EXPECT_EQ(dialog->SelectedIndex(), 1);
}

TEST(CServerDlgTest, FindTheBestWithNoServerAnsweringSelectsTheFirst) {
    ChooserFixture f(3, 2);
    f.settings.servers[1].delay = 0.3;  // an old measurement is overwritten by the failure
    auto dialog = f.Open();
    const QStringList reports = RunToEnd(*dialog, "IDC_FIND_BEST");
    EXPECT_EQ(reports.back(), "Error. Check Internet Connection.");
    EXPECT_EQ(dialog->SelectedIndex(), 0);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "A");
    EXPECT_EQ(Column(*dialog, 2), (QStringList{"Null", "Null", "Null"}));
}

TEST(CServerDlgTest, TestMeasuresTheSelectedServerAndKeepsAnOldDelayOnFailure) {
    ChooserFixture f(3, 1);
    f.settings.servers[2].delay = 0.5;
    f.measure.Set("b.example", 0.0437);
    auto dialog = f.Open();
    RunToEnd(*dialog, "IDC_TEST");
    EXPECT_EQ(Text(*dialog, "IDC_REPORT"), "Net Delay: 0.044");
    EXPECT_EQ(dialog->WorkingList()[1].delay, 0.0437);
    EXPECT_EQ(f.settings.servers[1].delay, 0.0) << "Test changes the working copy only";

    ClickRow(*dialog, 2);
    RunToEnd(*dialog, "IDC_TEST");
    EXPECT_EQ(Text(*dialog, "IDC_REPORT"), "Error. Check Internet Connection.");
    EXPECT_EQ(dialog->WorkingList()[2].delay, 0.5);
    EXPECT_EQ(f.measure.Asked(), (std::vector<std::string>{"b.example", "c.example"}));
    // The row's short form has the whole figure on hover.
    EXPECT_EQ(List(*dialog)->topLevelItem(2)->toolTip(2), "0.500000 sec.");
    // A loopback server's delay must not read "0.000", which looks like the failure value.
    f.measure.Set("c.example", 0.000042);
    RunToEnd(*dialog, "IDC_TEST");
    EXPECT_EQ(Text(*dialog, "IDC_REPORT"), "Net Delay: 0.00004");
}

TEST(CServerDlgTest, DeleteKeepsOneServerAndMovesTheSelectionUp) {
    struct Case {
        int count;
        int selected;
        bool refused;
        QStringList remaining;
        int selectedAfter;
    };
    const std::vector<Case> cases = {
        {1, 0, true, {"A"}, 0},
        {2, 0, false, {"B"}, 0},
        {5, 2, false, {"A", "B", "D", "E"}, 1},
        {3, 2, false, {"A", "B"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " servers, row " + std::to_string(c.selected));
        ChooserFixture f(c.count, c.selected);
        auto dialog = f.Open();
        Click(*dialog, "IDC_DELETE_SELECTED");
        if (c.refused) {
            ASSERT_EQ(f.prompts.Count(), 1u);
            EXPECT_EQ(f.prompts.Shown()[0], (PromptRequest{"Tidewell", "At least one server must be present!",
                                                           PromptIcon::None, PromptButtons::Ok}));
        } else {
            EXPECT_EQ(f.prompts.Count(), 0u);
        }
        EXPECT_EQ(Column(*dialog, 0), c.remaining);
        EXPECT_EQ(dialog->SelectedIndex(), c.selectedAfter);
        EXPECT_EQ(SelectedRow(*dialog), c.selectedAfter);
        EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), c.remaining[c.selectedAfter]);

        Click(*dialog, "IDCANCEL");
        EXPECT_EQ(f.settings.servers.GetSize(), static_cast<std::size_t>(c.count));
        EXPECT_EQ(f.temp.StoredFile(), f.storedBefore);
        EXPECT_EQ(f.setCurrentServerCalls, 0);
    }
}

TEST(CServerDlgTest, OkStoresTheListAndTheChoiceAndSetsTheCurrentServer) {
    ChooserFixture f(4);
    auto dialog = f.Open();
    ClickRow(*dialog, 1);
    Click(*dialog, "IDC_DELETE_SELECTED");
    ClickRow(*dialog, 2);
    Click(*dialog, "IDOK");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(f.setCurrentServerCalls, 1);
    EXPECT_EQ(f.settings.nStartingServ, 2);
    auto stored = f.temp.Reloaded();
    ASSERT_EQ(stored->servers.GetSize(), 3u);
    EXPECT_EQ(stored->servers[0].title, "A");
    EXPECT_EQ(stored->servers[1].title, "C");
    EXPECT_EQ(stored->servers[2].title, "D");
    EXPECT_EQ(stored->nStartingServ, 2);
}

TEST(CServerDlgTest, RestoreDefaultAndAddNewChangeTheListInMemoryOnly) {
    ChooserFixture f(3, 2);
    auto dialog = f.Open();
    Click(*dialog, "IDC_DELETE_SELECTED");

    // "Add New" reloads from Settings: the deletion is undone, the new server follows.
    bool addSeen = false;
    QTimer::singleShot(0, [&] {
        auto* add = qobject_cast<CNewServerDlg*>(QApplication::activeModalWidget());
        addSeen = add != nullptr;
        if (add != nullptr) {
            add->findChild<QLineEdit*>("IDC_TITLE")->setText("Mine");
            add->findChild<QLineEdit*>("IDC_URL")->setText("http://mine.example");
            QTest::mouseClick(add->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
        }
    });
    Click(*dialog, "IDC_ADD_NEW");
    ASSERT_TRUE(addSeen);
    EXPECT_EQ(Column(*dialog, 0), (QStringList{"A", "B", "C", "Mine"}));
    EXPECT_EQ(Column(*dialog, 1).back(), "User");
    EXPECT_EQ(Column(*dialog, 2).back(), "Null");
    EXPECT_EQ(f.settings.servers[3].host, "mine.example");
    // The new server is chosen and shown.
    EXPECT_EQ(dialog->SelectedIndex(), 3);
    EXPECT_EQ(SelectedRow(*dialog), 3);
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "Mine");

    Click(*dialog, "IDC_RESTORE_DEFAULT");
    EXPECT_EQ(dialog->SelectedIndex(), 0);
    const std::size_t defaults = DefaultServers().size();
    EXPECT_EQ(f.settings.servers.GetSize(), defaults + 1);
    EXPECT_EQ(f.settings.servers[0].title, "Mine") << "the user's servers stay, first";
    EXPECT_EQ(Text(*dialog, "IDC_CURRENT_SERVER"), "Mine");
    EXPECT_EQ(List(*dialog)->topLevelItemCount(), static_cast<int>(defaults + 1));

    Click(*dialog, "IDCANCEL");
    EXPECT_EQ(f.settings.servers.GetSize(), defaults + 1) << "kept in memory";
    EXPECT_EQ(f.temp.StoredFile(), f.storedBefore);
    EXPECT_EQ(f.temp.Reloaded()->servers.GetSize(), 3u);
}

TEST(CServerDlgTest, TheWindowStaysLiveDuringASearchAndStopEndsIt) {
    ChooserFixture f(4);
    f.measure.Set("a.example", 0.1);
    f.measure.Hang("b.example");
    auto dialog = f.Open();
    QSignalSpy finished(dialog.get(), &CServerDlg::TestingFinished);
    Click(*dialog, "IDC_FIND_BEST");

    // All servers are asked at once; the first result arrives while the second hangs, and timers keep firing.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Text(*dialog, "IDC_REPORT") == "A  || Delay:   0.1 sec."; }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.measure.Asked().size() == 4; }, kWaitMs));
    QTest::qWait(100);
    EXPECT_GE(ticks, 3);
    EXPECT_TRUE(dialog->Testing());
    EXPECT_EQ(Button(*dialog, "IDC_FIND_BEST")->text(), "Sto&p");
    EXPECT_FALSE(Button(*dialog, "IDOK")->isEnabled());
    EXPECT_FALSE(Button(*dialog, "IDC_DELETE_SELECTED")->isEnabled());
    EXPECT_TRUE(Button(*dialog, "IDCANCEL")->isEnabled());

    Click(*dialog, "IDC_FIND_BEST");
    ASSERT_TRUE(finished.wait(kWaitMs));
    EXPECT_TRUE(f.measure.SawStop());
    EXPECT_FALSE(dialog->Testing());
    EXPECT_EQ(Text(*dialog, "IDC_REPORT"), "Testing stopped.");
    EXPECT_EQ(f.measure.Asked().size(), 4u);
    EXPECT_EQ(Button(*dialog, "IDC_FIND_BEST")->text(), "&Find the best");
    EXPECT_TRUE(Button(*dialog, "IDOK")->isEnabled());
    EXPECT_EQ(f.settings.servers[0].delay, 0.0) << "a stopped search commits nothing";

    // Closing the dialog in the middle of a search stops it too; the dialog can then go.
    Click(*dialog, "IDC_FIND_BEST");
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.measure.Asked().size() == 8; }, kWaitMs));
    Click(*dialog, "IDCANCEL");
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    dialog.reset();
    EXPECT_EQ(f.measure.Asked().size(), 8u);
    EXPECT_EQ(f.temp.StoredFile(), f.storedBefore);
}

TEST(CServerDlgTest, FindsTheBestOfRealExchangesOnLoopback) {
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakeClockSetter clockSetter{clock};
    FakeSntpServer answering;
    answering.SetReplyDelay(0.02);
    FakeSntpServer silent;
    silent.SetSilent(true);
    const std::map<std::string, uint16_t> ports = {{"silent", silent.Port()},
                                                   {"answering", answering.Port()}};

    TempSettings temp;
    temp.settings.servers.Add(CServer("Silent", "silent", 0));
    temp.settings.servers.Add(CServer("Answering", "answering", 0));
    FakePrompts prompts;
    FakeHelp help;
    const ServerMeasure measure = [&](const std::string&, const std::string& name, std::stop_token) {
        CSNTPClient client(clock, clockSetter, 300);
        CSNTPReply reply;
        return client.Query(FakeSntpServer::kHost, reply, ports.at(name)) ? reply.roundTripDelaySeconds : 0.0;
    };
    CServerDlg dialog(temp.settings, prompts, help, measure, [] {});
    dialog.show();
    RunToEnd(dialog, "IDC_FIND_BEST");
    EXPECT_EQ(dialog.SelectedIndex(), 1);
    EXPECT_TRUE(Text(dialog, "IDC_REPORT").startsWith("Tested success: 1, faild: 1, the best delay: 0.0"))
        << Text(dialog, "IDC_REPORT").toStdString();
    EXPECT_GE(temp.settings.servers[1].delay, 0.02);
}

// "Test", "Find the best" and the add-server dialog's "Check Server" against a
// silent server: the window stays live, and Stop or closing ends the exchange at once.
TEST(CServerDlgTest, StopAndClosingEndARealExchangeWithASilentServerWithinAFifthOfASecond) {
    // Shared with the measurement: an exchange left to finish alone outlives the test's scope.
    struct Peer {
        FakeClock clock = FakeClock::FollowingRealTime(0);
        NoClockSetter privilege;
        FakeSntpServer silent;
    };
    const auto peer = std::make_shared<Peer>();
    peer->silent.SetSilent(true);
    TempSettings temp;
    temp.settings.servers.Add(CServer("Silent", "silent", 0));
    FakePrompts prompts;
    FakeHelp help;
    const ServerMeasure measure = [peer](const std::string&, const std::string&, std::stop_token stop) {
        CSNTPClient client(peer->clock, peer->privilege);
        CSNTPReply reply;
        return client.Query(FakeSntpServer::kHost, reply, peer->silent.Port(), stop)
                   ? reply.roundTripDelaySeconds
                   : 0.0;
    };
    CServerDlg chooser(temp.settings, prompts, help, measure, [] {});
    CNewServerDlg addServer(temp.settings, measure);
    struct Case {
        QDialog* dialog;
        const char* button;
        const char* idleText;
    };
    const std::vector<Case> cases = {{&chooser, "IDC_TEST", "&Test"},
                                     {&chooser, "IDC_FIND_BEST", "&Find the best"},
                                     {&addServer, "IDC_CHECK_SERVER", "Check &Server"}};
    for (const Case& c : cases) {
        c.dialog->show();
        Click(*c.dialog, c.button);
        QTest::qWait(100);
        EXPECT_EQ(Button(*c.dialog, c.button)->text(), "Sto&p") << c.button;
        EXPECT_FALSE(Button(*c.dialog, "IDOK")->isEnabled()) << c.button;
        QElapsedTimer elapsed;
        elapsed.start();
        Click(*c.dialog, c.button);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return Button(*c.dialog, c.button)->text() == c.idleText; }, kWaitMs));
        EXPECT_LT(elapsed.elapsed(), 200) << c.button;
        EXPECT_EQ(Text(*c.dialog, "IDC_REPORT"), "Testing stopped.") << c.button;
    }
    EXPECT_EQ(addServer.CheckedDelay(), 0.0);

    auto closing = std::make_unique<CServerDlg>(temp.settings, prompts, help, measure, [] {});
    closing->show();
    Click(*closing, "IDC_TEST");
    QTest::qWait(100);
    QElapsedTimer elapsed;
    elapsed.start();
    Click(*closing, "IDCANCEL");
    closing.reset();
    EXPECT_LT(elapsed.elapsed(), 200);
}

TEST(CServerDlgTest, ALockedListCannotBeChangedButItsStartingServerCanBeChosen) {
    ChooserFixture f(0);
    f.temp.UseSite(
        "[Servers]\nServers_Counter=2\nServers 0=\"A\\na.example\\n0 0\"\nServers 1=\"B\\nb.example\\n0 0\"\n"
        "[Locked]\nKeys=Servers\n");
    auto dialog = f.Open();
    for (const char* name : {"IDC_ADD_NEW", "IDC_DELETE_SELECTED", "IDC_RESTORE_DEFAULT"}) {
        EXPECT_FALSE(Button(*dialog, name)->isEnabled()) << name;
        EXPECT_EQ(Button(*dialog, name)->toolTip(), "Set by your administrator") << name;
    }
    ClickRow(*dialog, 1);
    Click(*dialog, "IDOK");
    EXPECT_EQ(f.settings.nStartingServ, 1);
    EXPECT_EQ(f.settings.servers.GetSize(), 2u);
    // The user's file keeps its own (empty) list.
    EXPECT_EQ(f.temp.store.ReadInt("Servers", "Servers_Counter", -1), 0);
}
