#include "ui/CNewServerDlg.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "tests/support/FakePrompts.h"
#include "tests/support/TempSettings.h"

namespace {

// Answers with a fixed delay and records every host asked.
struct TableMeasure {
    double delaySeconds = 0.0;
    std::vector<std::string> asked;

    ServerMeasure Function() {
        return [this](const std::string&, const std::string& host, std::stop_token) {
            asked.push_back(host);
            return delaySeconds;
        };
    }
};

struct AddServerFixture {
    AddServerFixture() {
        temp.settings.servers.Add(CServer("First", "first.example", 0));
        dialog = std::make_unique<CNewServerDlg>(temp.settings, measure.Function(), nullptr, &prompts);
        dialog->show();
    }

    QLineEdit* Title() { return dialog->findChild<QLineEdit*>("IDC_TITLE"); }
    QLineEdit* Url() { return dialog->findChild<QLineEdit*>("IDC_URL"); }
    QLineEdit* Report() { return dialog->findChild<QLineEdit*>("IDC_REPORT"); }
    void Click(const char* name) { QTest::mouseClick(dialog->findChild<QPushButton*>(name), Qt::LeftButton); }
    // "Check Server", and the wait for its outcome.
    void Check() {
        QSignalSpy finished(dialog.get(), &CNewServerDlg::CheckFinished);
        Click("IDC_CHECK_SERVER");
        ASSERT_TRUE(finished.wait(5000));
    }

    TempSettings temp;
    TableMeasure measure;
    FakePrompts prompts;
    std::unique_ptr<CNewServerDlg> dialog;
};

}  // namespace

TEST(CNewServerDlgTest, StripsEveryLowerCaseWebPrefixWhereverItStands) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://ntp.example.org", "ntp.example.org"},
        {"http:\\\\ntp.example.org", "ntp.example.org"},
        {"ntp.http://example.org", "ntp.example.org"},
        {"http://http:\\\\ntp.example.org", "ntp.example.org"},
        {"a http:\\\\b http://c", "a b c"},
        {"HTTP://ntp.example.org", "HTTP://ntp.example.org"},
        {"Http://ntp.example.org", "Http://ntp.example.org"},
        {"http:/ntp.example.org", "http:/ntp.example.org"},
        {"http://[2001:db8::1]", "[2001:db8::1]"},
        {"::1", "::1"},
        {"nts://ntp.example.org:4461", "nts://ntp.example.org:4461"},
        {"", ""},
    };
    for (const auto& [url, stripped] : cases) {
        EXPECT_EQ(CNewServerDlg::StripHttpPrefixes(url), stripped) << url;
    }
}

TEST(CNewServerDlgTest, CheckStripsTheUrlNamesAnUntitledServerAndReportsTheDelay) {
    AddServerFixture f;
    f.measure.delaySeconds = 0.0456;
    f.Url()->setText("http://time.example.net");
    f.Check();
    EXPECT_EQ(f.measure.asked, std::vector<std::string>{"time.example.net"});
    EXPECT_EQ(f.Url()->text(), "time.example.net");
    EXPECT_EQ(f.Title()->text(), "Undefined");
    EXPECT_EQ(f.Report()->text(), "Net Delay: 0.046");
    EXPECT_TRUE(f.Report()->isReadOnly());

    // An authenticated server is marked so.
    f.Url()->setText("nts://time.example.net");
    f.Check();
    EXPECT_EQ(f.Report()->text(), "Net Delay: 0.046 NTS");

    f.measure.delaySeconds = 0.0;
    f.Title()->setText("Mine");
    f.Check();
    EXPECT_EQ(f.Title()->text(), "Mine");
    EXPECT_EQ(f.Report()->text(), "Error. Check Internet Connection.");
    EXPECT_EQ(f.dialog->CheckedDelay(), 0.0);
    EXPECT_EQ(f.temp.settings.servers.GetSize(), 1u) << "checking adds nothing";
}

TEST(CNewServerDlgTest, AddAppendsAUserServerWithTheLastCheckedDelayAndNoCheckOfItsOwn) {
    // Without a check: the title stays empty and the delay 0.
    AddServerFixture unchecked;
    unchecked.Url()->setText("http://10.1.2.3");
    unchecked.Click("IDOK");
    EXPECT_EQ(unchecked.dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(unchecked.measure.asked.empty());
    ASSERT_EQ(unchecked.temp.settings.servers.GetSize(), 2u);
    const CServer& added = unchecked.temp.settings.servers[1];
    EXPECT_EQ(added.title, "");
    EXPECT_EQ(added.host, "10.1.2.3");
    EXPECT_EQ(added.kind, 1);
    EXPECT_EQ(added.KindText(), "User");
    EXPECT_EQ(added.DelayText(), "Null");

    // A check, then the URL edited: the server keeps the checked delay.
    AddServerFixture checked;
    checked.measure.delaySeconds = 0.25;
    checked.Title()->setText("Lab");
    checked.Url()->setText("lab.example");
    checked.Check();
    checked.Url()->setText("http:\\\\other.example");
    checked.Click("IDOK");
    ASSERT_EQ(checked.temp.settings.servers.GetSize(), 2u);
    EXPECT_EQ(checked.temp.settings.servers[1].host, "other.example");
    EXPECT_EQ(checked.temp.settings.servers[1].delay, 0.25);
    EXPECT_EQ(checked.temp.settings.servers[1].DelayText(), " 0.25");
    EXPECT_TRUE(checked.temp.store.IsEmpty()) << "the chooser's OK stores the list";
}

TEST(CNewServerDlgTest, CancelAfterACheckAddsNothing) {
    AddServerFixture f;
    f.measure.delaySeconds = 0.1;
    f.Title()->setText("Lab");
    f.Url()->setText("lab.example");
    f.Check();
    f.Click("IDCANCEL");
    EXPECT_EQ(f.dialog->result(), QDialog::Rejected);
    ASSERT_EQ(f.temp.settings.servers.GetSize(), 1u);
    EXPECT_EQ(f.temp.settings.servers[0].title, "First");
}

// The first nts:// server of the list offers to take only authenticated time;
// a plain server, a second NTS server or a "No" leave the option alone.
TEST(CNewServerDlgTest, TheFirstNtsServerOffersOnlyAuthenticatedTime) {
    const struct {
        std::vector<std::string> hosts;  // the last is added; the others are in the list before
        PromptAnswer answer;
        std::size_t offers;
        int onlyNts;
    } rows[] = {
        {{"nts://a.example"}, PromptAnswer::Yes, 1, 1},
        {{"NTS://a.example:4461"}, PromptAnswer::No, 1, 0},
        {{"b.example"}, PromptAnswer::Yes, 0, 0},
        {{"nts://a.example", "nts://b.example"}, PromptAnswer::Yes, 0, 0},
    };
    for (const auto& row : rows) {
        AddServerFixture f;
        for (std::size_t i = 0; i + 1 < row.hosts.size(); ++i) {
            f.temp.settings.servers.Add(CServer("Old", row.hosts[i], 1));
        }
        f.prompts.QueueAnswer(row.answer);
        f.Url()->setText(QString::fromStdString(row.hosts.back()));
        f.Click("IDOK");
        EXPECT_EQ(f.prompts.Count(), row.offers) << row.hosts.back();
        EXPECT_EQ(f.temp.settings.bOnlyNts.load(), row.onlyNts) << row.hosts.back();
        EXPECT_EQ(f.temp.settings.servers[f.temp.settings.servers.GetSize() - 1].host, row.hosts.back());
    }
}
