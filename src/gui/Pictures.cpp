#include "gui/Pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace corvan {

namespace {

constexpr int kIconSize = 16;
constexpr int kStatusSize = 48;

QPixmap Blank(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void DrawAbout(QPainter& p) {
    p.setBrush(QColor(40, 110, 200));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7, 3.5, 2.2, 2.2));
    p.drawRect(QRectF(7, 7, 2.2, 5.5));
}

void DrawGlobe(QPainter& p) {
    p.setBrush(QColor(60, 160, 90));
    p.setPen(QPen(QColor(20, 90, 50), 1));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(230, 255, 230), 1));
    p.drawEllipse(QRectF(5, 1.5, 6, 13));
    p.drawLine(QPointF(2, 8), QPointF(14, 8));
}

void DrawArrows(QPainter& p) {
    p.setPen(QPen(QColor(200, 110, 20), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(2, 5), QPointF(12, 5));
    p.drawLine(QPointF(9, 2), QPointF(12, 5));
    p.drawLine(QPointF(9, 8), QPointF(12, 5));
    p.drawLine(QPointF(14, 11), QPointF(4, 11));
    p.drawLine(QPointF(7, 8), QPointF(4, 11));
    p.drawLine(QPointF(7, 14), QPointF(4, 11));
}

void DrawDNS(QPainter& p) {
    p.setPen(QPen(QColor(90, 60, 150), 1));
    p.setBrush(QColor(160, 130, 220));
    p.drawRect(QRectF(6, 1.5, 4, 4));
    p.drawRect(QRectF(1.5, 10.5, 4, 4));
    p.drawRect(QRectF(10.5, 10.5, 4, 4));
    p.drawLine(QPointF(8, 5.5), QPointF(8, 8));
    p.drawLine(QPointF(3.5, 8), QPointF(12.5, 8));
    p.drawLine(QPointF(3.5, 8), QPointF(3.5, 10.5));
    p.drawLine(QPointF(12.5, 8), QPointF(12.5, 10.5));
}

void DrawSocks(QPainter& p) {
    // A shield: the relay that stands between the client and the world.
    QPainterPath shield;
    shield.moveTo(8, 1);
    shield.lineTo(14, 3);
    shield.cubicTo(14, 9, 11, 13, 8, 15);
    shield.cubicTo(5, 13, 2, 9, 2, 3);
    shield.closeSubpath();
    p.setPen(QPen(QColor(120, 30, 30), 1));
    p.setBrush(QColor(200, 60, 60));
    p.drawPath(shield);
    p.setPen(QPen(Qt::white, 1.6));
    p.drawLine(QPointF(5, 7), QPointF(11, 7));
    p.drawLine(QPointF(5, 10), QPointF(11, 10));
}

void DrawUsers(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(50, 90, 160));
    p.drawEllipse(QRectF(9, 2, 5, 5));
    p.drawPie(QRectF(7, 7.5, 9, 10), 0, 180 * 16);
    p.setBrush(QColor(80, 140, 220));
    p.drawEllipse(QRectF(3, 3, 6, 6));
    p.drawPie(QRectF(0.5, 9.5, 11, 12), 0, 180 * 16);
}

} // namespace

QIcon TreeIcon(int imageIndex) {
    if (imageIndex < 0 || imageIndex >= kTreeImageCount)
        return QIcon();
    QPixmap pixmap = Blank(kIconSize);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (imageIndex) {
    case tiAbout: DrawAbout(p); break;
    case tiHTTP: DrawGlobe(p); break;
    case tiPortMappings: DrawArrows(p); break;
    case tiDNS: DrawDNS(p); break;
    case tiSocks: DrawSocks(p); break;
    case tiUsers: DrawUsers(p); break;
    }
    p.end();
    return QIcon(pixmap);
}

QPixmap StatusPicture(TStatusPicture picture) {
    QColor screen;
    switch (picture) {
    case TStatusPicture::None: return QPixmap();
    case TStatusPicture::iPCGray: screen = QColor(150, 150, 150); break;
    case TStatusPicture::iPCBlue: screen = QColor(40, 80, 200); break;
    case TStatusPicture::iPCCyan: screen = QColor(0, 200, 220); break;
    }
    QPixmap pixmap = Blank(kStatusSize);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // Monitor case, screen, stand and foot.
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    p.setBrush(QColor(225, 225, 220));
    p.drawRoundedRect(QRectF(4, 5, 40, 29), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(screen);
    p.drawRect(QRectF(8, 9, 32, 21));
    p.setBrush(QColor(255, 255, 255, 70));
    p.drawRect(QRectF(8, 9, 32, 7));
    p.setBrush(QColor(190, 190, 185));
    p.drawRect(QRectF(20, 34, 8, 5));
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    p.setBrush(QColor(225, 225, 220));
    p.drawRoundedRect(QRectF(12, 39, 24, 5), 2, 2);
    if (picture == TStatusPicture::iPCCyan) {
        // Traffic: two arrows across the screen.
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(13, 16), QPointF(33, 16));
        p.drawLine(QPointF(29, 13), QPointF(33, 16));
        p.drawLine(QPointF(35, 24), QPointF(15, 24));
        p.drawLine(QPointF(19, 27), QPointF(15, 24));
    }
    p.end();
    return pixmap;
}

QIcon ProgramIcon() {
    QIcon icon;
    icon.addPixmap(StatusPicture(TStatusPicture::iPCBlue));
    return icon;
}

} // namespace corvan
