#include "ui/TrayIcon.h"

#include <QCursor>
#include <QMenu>

#include "ui/ProgramIcon.h"

namespace {

class SystemTrayPlatform final : public TrayPlatform {
public:
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

    QSystemTrayIcon& Tray() { return m_tray; }

private:
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

QString TrayIcon::Tip() {
    return QStringLiteral("Tidewell");
}

void TrayIcon::Attach() {
    m_icon = ProgramIcon();
    UpdateTrayIcon(TrayAction::Add);
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
    m_platform->Notify(action, m_icon, Tip());
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
        case QSystemTrayIcon::Context:
            emit ContextRequested(QCursor::pos());
            break;
        default:
            // A single click does nothing: the window comes back only on a double-click.
            break;
    }
}
