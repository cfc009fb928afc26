#include "ui/ProgramIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources live in a static library: nothing would pull them in otherwise.
static void InitUiResources() {
    Q_INIT_RESOURCE(tidewell_ui);
}

QIcon ProgramIcon() {
    InitUiResources();
    QSvgRenderer renderer(QStringLiteral(":/tidewell/tidewell.svg"));
    QIcon icon;
    if (!renderer.isValid()) {
        return icon;
    }
    for (const int size : kProgramIconSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
