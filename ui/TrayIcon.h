#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QMenu;

enum class TrayAction { Add, Modify, Delete };

// The notification area as TrayIcon sees it; the real one is QSystemTrayIcon.
class TrayPlatform {
public:
    virtual ~TrayPlatform() = default;
    // Whether the desktop has a notification area at all.
    virtual bool Available() const = 0;
    // Adds, updates or removes the icon; like the desktop's own call, its outcome is not looked at.
    virtual void Notify(TrayAction action, const QIcon& icon, const QString& tip) = 0;
    virtual void SetContextMenu(QMenu* /*menu*/) {}
    // False where a click comes only as a single activation (a StatusNotifierItem
    // host); true where a double-click comes as such (an XEmbed tray).
    virtual bool DeliversDoubleClick() const { return true; }
};

// The program's icon in the notification area, kept there while the option
// "show icon" is set. One instance for the whole program, used on the
// user-interface thread only. Mouse events on the icon come out as signals
// for the main window: a double-click as Activated (or, on a tray that
// reports no double-click, the single activation), a right click as
// ContextRequested (where the desktop lets the program show the menu itself;
// the menu given to SetContextMenu is shown by the desktop otherwise).
class TrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kIconId = 152;
    // Reads the option "show icon" at each update.
    using ShowIconOption = std::function<bool()>;

    explicit TrayIcon(ShowIconOption showIcon, QObject* parent = nullptr);
    TrayIcon(ShowIconOption showIcon, std::unique_ptr<TrayPlatform> platform, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Loads the icon and adds it (when the option is set). Called once, by the main window.
    void Attach();
    // With the option cleared the icon is taken away whatever is asked; with the
    // option set an icon that is not there yet is added; otherwise the action stands.
    void UpdateTrayIcon(TrayAction action);
    void Remove() { UpdateTrayIcon(TrayAction::Delete); }

    // The icon has been handed to the notification area and not taken away since.
    bool Shown() const { return m_shown; }
    // Without a notification area, the start-up keeps the hidden window reachable another way.
    bool Available() const;
    void SetContextMenu(QMenu* menu);

    // The tooltip; the program's name until the first SetTip.
    const QString& Tip() const { return m_tip; }
    // Updates the tooltip of an icon that is shown.
    void SetTip(const QString& tip);

    // The attention state: the icon carries a mark until the window the user
    // asked for has been seen (where the desktop did not bring it forward).
    void SetAttention(bool attention);
    bool Attention() const { return m_attention; }

    // A mouse event on the icon, as the desktop reports it.
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

signals:
    void Activated();
    void ContextRequested(const QPoint& globalPosition);

private:
    ShowIconOption m_showIcon;
    std::unique_ptr<TrayPlatform> m_platform;
    QIcon m_icon;
    QIcon m_attentionIcon;
    QString m_tip = QStringLiteral("Tidewell");
    bool m_attention = false;
    bool m_shown = false;
};
