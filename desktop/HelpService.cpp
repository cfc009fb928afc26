#include "desktop/HelpService.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

HelpService::HelpService()
    : HelpService(DefaultFolders(), [](const QUrl& url) { return QDesktopServices::openUrl(url); }) {}

HelpService::HelpService(QStringList folders, Opener opener)
    : m_folders(std::move(folders)), m_opener(std::move(opener)) {}

QString HelpService::FileName(HelpPage page) {
    switch (page) {
        case HelpPage::Options:
            return QStringLiteral("Options.html");
        case HelpPage::Servers:
            return QStringLiteral("Servers.html");
        case HelpPage::DstDlg:
            return QStringLiteral("DstDlg.html");
        case HelpPage::History:
            return QStringLiteral("History.html");
        case HelpPage::Index:
            break;
    }
    return QStringLiteral("index.html");
}

QStringList HelpService::DefaultFolders() {
    QStringList folders;
    const QString appDir =
        QCoreApplication::instance() != nullptr ? QCoreApplication::applicationDirPath() : QString();
    const QString buildDir = QDir::cleanPath(QStringLiteral(TIDEWELL_BUILD_DIR));
    // A program started from the build folder shows the pages being written, not
    // an older installed copy.
    if (!appDir.isEmpty() && QDir::cleanPath(appDir).startsWith(buildDir + QLatin1Char('/'))) {
        folders << QStringLiteral(TIDEWELL_SOURCE_HELP_DIR);
    }
    // Installed under a prefix other than the configured one, the pages sit beside the program.
    if (!appDir.isEmpty()) {
        folders << QDir::cleanPath(appDir + QStringLiteral("/../share/tidewell/help"));
    }
    folders << QStringLiteral(TIDEWELL_INSTALLED_HELP_DIR);
    folders.removeDuplicates();
    return folders;
}

QString HelpService::PagePath(HelpPage page) const {
    const QString name = FileName(page);
    for (const QString& folder : m_folders) {
        const QFileInfo file(QDir(folder), name);
        if (file.isFile()) {
            return file.absoluteFilePath();
        }
    }
    return {};
}

void HelpService::ShowHelp(HelpPage page) {
    const QString path = PagePath(page);
    if (!path.isEmpty() && m_opener) {
        m_opener(QUrl::fromLocalFile(path));
    }
}
