#include "ui/TrayIcon.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QMenu>
#include <QPainter>

#include "ui/ProgramIcon.h"

namespace {

// Whether the session has a StatusNotifierItem host. Qt asks the same when it
// makes its first tray icon, and then shows the icon as such an item: the host
// reports a click as a single activation and never as a double-click.
bool StatusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        return false;
    }
    QDBusInterface watcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                           QStringLiteral("/StatusNotifierWatcher"),
                           QStringLiteral("org.kde.StatusNotifierWatcher"), bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

// The icon with a red dot in its upper right corner, which notification areas
// show as they show any other icon.
QIcon AttentionIcon(const QIcon& icon) {
    QIcon marked;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(side, side);
        if (pixmap.isNull()) {
            continue;
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::white, side / 16.0));
        painter.setBrush(QColor(0xd0, 0x10, 0x10));
        const double dot = side * 0.45;
        painter.drawEllipse(QRectF(side - dot, 0, dot, dot).adjusted(1, 1, -1, -1));
        painter.end();
        marked.addPixmap(pixmap);
    }
    return marked;
}

class SystemTrayPlatform final : public TrayPlatform {
public:
    SystemTrayPlatform() : m_itemHost(StatusNotifierHostPresent()) {}

    bool Available() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    void Notify(TrayAction action, const QIcon& icon, const QString& tip) override {
        switch (action) {
            case TrayAction::Add:
                m_tray.setIcon(icon);
                m_tray.setToolTip(tip);
                m_tray.show();
                break;
            case TrayAction::Modify:
                m_tray.setIcon(icon);
                m_tray.setToolTip(tip);
                break;
            case TrayAction::Delete:
                m_tray.hide();
                break;
        }
    }

    void SetContextMenu(QMenu* menu) override { m_tray.setContextMenu(menu); }
    bool DeliversDoubleClick() const override { return !m_itemHost; }

    QSystemTrayIcon& Tray() { return m_tray; }

private:
    const bool m_itemHost;
    QSystemTrayIcon m_tray;
};

}  // namespace

TrayIcon::TrayIcon(ShowIconOption showIcon, QObject* parent)
    : QObject(parent), m_showIcon(std::move(showIcon)) {
    auto platform = std::make_unique<SystemTrayPlatform>();
    connect(&platform->Tray(), &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
    m_platform = std::move(platform);
}

TrayIcon::TrayIcon(ShowIconOption showIcon, std::unique_ptr<TrayPlatform> platform, QObject* parent)
    : QObject(parent), m_showIcon(std::move(showIcon)), m_platform(std::move(platform)) {}

TrayIcon::~TrayIcon() = default;

void TrayIcon::Attach() {
    m_icon = ProgramIcon();
    m_attentionIcon = AttentionIcon(m_icon);
    UpdateTrayIcon(TrayAction::Add);
}

void TrayIcon::SetTip(const QString& tip) {
    if (tip == m_tip) {
        return;
    }
    m_tip = tip;
    if (m_shown) {
        UpdateTrayIcon(TrayAction::Modify);
    }
}

void TrayIcon::SetAttention(bool attention) {
    if (attention == m_attention) {
        return;
    }
    m_attention = attention;
    if (m_shown) {
        UpdateTrayIcon(TrayAction::Modify);
    }
}

void TrayIcon::UpdateTrayIcon(TrayAction action) {
    if (!m_showIcon()) {
        m_shown = false;
        action = TrayAction::Delete;
    } else if (!m_shown) {
        m_shown = true;
        action = TrayAction::Add;
    } else if (action == TrayAction::Delete) {
        // Once taken away the icon is not there: a later request must add it again.
        m_shown = false;
    }
    m_platform->Notify(action, m_attention ? m_attentionIcon : m_icon, m_tip);
}

bool TrayIcon::Available() const {
    return m_platform->Available();
}

void TrayIcon::SetContextMenu(QMenu* menu) {
    m_platform->SetContextMenu(menu);
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            emit Activated();
            break;
        case QSystemTrayIcon::Trigger:
            // An XEmbed tray reports the first click of a double-click this
            // way too: there a single click does nothing.
            if (!m_platform->DeliversDoubleClick()) {
                emit Activated();
            }
            break;
        case QSystemTrayIcon::Context:
            emit ContextRequested(QCursor::pos());
            break;
        default:
            break;
    }
}
