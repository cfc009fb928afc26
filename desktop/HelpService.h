#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

// The help pages the program opens: the main window's index and one page per dialog.
enum class HelpPage { Index, Options, Servers, DstDlg, History };

// What the windows and dialogs ask of the help; tests record the requests.
class Help {
public:
    virtual ~Help() = default;
    virtual void ShowHelp(HelpPage page) = 0;
};

// Opens the help pages, HTML files, in the desktop's browser. A page is looked
// for in each folder in turn; a page that cannot be found or opened is not
// reported, as with any help that fails to come up.
class HelpService final : public Help {
public:
    using Opener = std::function<bool(const QUrl&)>;

    // By default: the installed help folder, and first of all the source tree's
    // help/ when the program runs from its build folder; QDesktopServices opens.
    HelpService();
    HelpService(QStringList folders, Opener opener);

    void ShowHelp(HelpPage page) override;

    // The file the page is opened from; empty when no folder holds it.
    QString PagePath(HelpPage page) const;
    const QStringList& Folders() const { return m_folders; }

    static QString FileName(HelpPage page);
    static QStringList DefaultFolders();

private:
    QStringList m_folders;
    Opener m_opener;
};
