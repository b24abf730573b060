#include "LockIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace wfs::securityinterface {
namespace {

QPixmap Draw(int size, bool open) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;

    // The shackle: closed, both legs go into the body; open, it is lifted and its right leg hangs
    // free above the body, so the two states differ at a glance even at small sizes.
    const qreal lift = open ? 0.14 * s : 0.0;
    QPainterPath shackle;
    shackle.moveTo(0.32 * s, 0.47 * s);
    shackle.lineTo(0.32 * s, 0.30 * s - lift);
    shackle.arcTo(QRectF(0.32 * s, 0.12 * s - lift, 0.36 * s, 0.36 * s), 180, -180);
    shackle.lineTo(0.68 * s, open ? 0.30 * s : 0.47 * s);
    p.setPen(QPen(QColor(0x6d, 0x72, 0x7a), 0.09 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(shackle);

    const QRectF body(0.16 * s, 0.45 * s, 0.68 * s, 0.48 * s);
    QLinearGradient gold(body.topLeft(), body.bottomLeft());
    gold.setColorAt(0, QColor(0xe8, 0xb8, 0x4a));
    gold.setColorAt(1, QColor(0xb8, 0x82, 0x22));
    p.setPen(QPen(QColor(0x8a, 0x5e, 0x12), 0.03 * s));
    p.setBrush(gold);
    p.drawRoundedRect(body, 0.08 * s, 0.08 * s);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x4a, 0x32, 0x0a));
    p.drawEllipse(QPointF(0.5 * s, 0.64 * s), 0.06 * s, 0.06 * s);
    p.drawRect(QRectF(0.475 * s, 0.66 * s, 0.05 * s, 0.14 * s));
    return pixmap;
}

}  // namespace

QIcon LockIcon(bool open) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(Draw(size, open));
    return icon;
}

}  // namespace wfs::securityinterface
