#include "desktop/HelpService.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <vector>

namespace {

const QString kSourceHelp = QDir::cleanPath(QStringLiteral(TIDEWELL_TEST_DATA_DIR "/../../help"));

void Touch(const QString& folder, const QString& name) {
    QFile file(QDir(folder).filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<html></html>");
}

QString Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

TEST(HelpServiceTest, OpensEachPageFromTheFirstFolderThatHoldsIt) {
    QTemporaryDir first;
    QTemporaryDir second;
    Touch(second.path(), "index.html");
    Touch(second.path(), "Options.html");
    Touch(first.path(), "Options.html");
    Touch(first.path(), "DstDlg.html");

    std::vector<QUrl> opened;
    HelpService help({first.path(), second.path()}, [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    help.ShowHelp(HelpPage::Index);
    help.ShowHelp(HelpPage::Options);
    help.ShowHelp(HelpPage::DstDlg);
    help.ShowHelp(HelpPage::Servers);  // in neither folder: nothing opens, nothing is said

    const std::vector<QUrl> expected = {
        QUrl::fromLocalFile(QDir(second.path()).filePath("index.html")),
        QUrl::fromLocalFile(QDir(first.path()).filePath("Options.html")),
        QUrl::fromLocalFile(QDir(first.path()).filePath("DstDlg.html")),
    };
    EXPECT_EQ(opened, expected);
}

TEST(HelpServiceTest, RunFromTheBuildFolderItFindsTheSourcePages) {
    const HelpService help;
    ASSERT_FALSE(help.Folders().isEmpty());
    EXPECT_EQ(help.Folders().first(), kSourceHelp);
    for (const HelpPage page :
         {HelpPage::Index, HelpPage::Options, HelpPage::Servers, HelpPage::DstDlg, HelpPage::History}) {
        EXPECT_EQ(help.PagePath(page), QDir(kSourceHelp).filePath(HelpService::FileName(page)));
    }
}

TEST(HelpServiceTest, PagesNameTheProgramsControlsAndTheirLinksResolve) {
    struct Page {
        QString file;
        QStringList names;  // labels the page must explain, as the program shows them
    };
    const std::vector<Page> pages = {
        {"index.html",
         {"Synchronize now", "Break", "Set Time Zone and Date", "Options", "Server", "StartUp", "History",
          "tidewell"}},
        {"Options.html",
         {"Daily synchronizing.", "On start up synchronizing.", "Hourly synchronizing.",
          "Only manual synchronization.", "Exit after synchronization.", "Show Icon in System Tray.",
          "Ahead (+)", "Backward (-)", "Minutes", "Seconds", "Maximum days for synchronization.",
          "Maximum network timeout in seconds.", "Maximum difference", "Edit DST", "Restore Default",
          "Only authenticated time (NTS)"}},
        {"Servers.html",
         {"Add New", "Delete Selected", "Find the best", "Restore default", "Test",
          "Current Server:", "Check Server", "Title:", "URL:", "Prog", "User", "Null"}},
        {"History.html", {"Tidewell: History", "Export CSV...", "Drift of this clock", "Authenticated"}},
        {"DstDlg.html",
         {"Bias:", "Standard Month:", "Daylight Week Num (1...5):", "Day of Week (0...6):",
          "Restore from First Start", "User standard DST", "User daylight DST"}},
    };
    const QRegularExpression link(QStringLiteral("href=\"([^\"#:]+)\""));
    for (const Page& page : pages) {
        SCOPED_TRACE(page.file.toStdString());
        const QString text = Read(QDir(kSourceHelp).filePath(page.file));
        ASSERT_FALSE(text.isEmpty());
        for (const QString& name : page.names) {
            EXPECT_TRUE(text.contains(name)) << name.toStdString();
        }
        for (auto it = link.globalMatch(text); it.hasNext();) {
            const QString target = it.next().captured(1);
            EXPECT_TRUE(QFile::exists(QDir(kSourceHelp).filePath(target))) << target.toStdString();
        }
    }
}
