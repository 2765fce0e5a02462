// Draws the main window's pictures into the folder given as the only
// argument. The pictures are kept in this folder; run this again after a
// change of the drawing:
//   g++ -std=c++17 -fPIC DrawImages.cpp $(pkg-config --cflags --libs Qt5Gui) -o /tmp/draw
//   QT_QPA_PLATFORM=offscreen /tmp/draw .
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

const QColor kGreen(0x6D, 0xC0, 0x55);
const QColor kInk(0x33, 0x33, 0x33);

QImage Blank(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// The maker's mark: a rounded green square with a white V.
void DrawMark(QPainter& p, const QRectF& box) {
  p.setPen(Qt::NoPen);
  p.setBrush(kGreen);
  p.drawRoundedRect(box, box.width() * 0.18, box.height() * 0.18);
  QPainterPath v;
  const double l = box.left(), t = box.top(), w = box.width(), h = box.height();
  v.moveTo(l + w * 0.20, t + h * 0.22);
  v.lineTo(l + w * 0.50, t + h * 0.80);
  v.lineTo(l + w * 0.80, t + h * 0.22);
  p.setPen(QPen(Qt::white, w * 0.14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(v);
}

QImage ConnectBanner() {
  QImage image(540, 84, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, image.width(), 0);
  sky.setColorAt(0, QColor(0x2B, 0x4C, 0x6F));
  sky.setColorAt(1, QColor(0x3F, 0x7F, 0x9F));
  p.fillRect(image.rect(), sky);
  // Two screens joined by a link: a remote desktop.
  p.setPen(QPen(QColor(255, 255, 255, 60), 2));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(410, 16, 54, 38), 3, 3);
  p.drawRoundedRect(QRectF(472, 26, 48, 34), 3, 3);
  p.drawLine(QPointF(437, 54), QPointF(437, 64));
  p.drawLine(QPointF(427, 64), QPointF(447, 64));
  p.drawLine(QPointF(496, 60), QPointF(496, 70));
  p.drawLine(QPointF(486, 70), QPointF(506, 70));
  DrawMark(p, QRectF(18, 18, 48, 48));
  QFont title("DejaVu Sans", 20, QFont::Bold);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRectF(80, 14, 260, 34), Qt::AlignLeft | Qt::AlignVCenter, "Kelvane Vesk");
  QFont subtitle("DejaVu Sans", 10);
  p.setFont(subtitle);
  p.setPen(QColor(0xD8, 0xE8, 0xF0));
  p.drawText(QRectF(82, 46, 260, 22), Qt::AlignLeft | Qt::AlignVCenter, "Remote desktop client");
  return image;
}

QImage Logo24() {
  QImage image = Blank(104, 24);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  DrawMark(p, QRectF(2, 2, 20, 20));
  QFont font("DejaVu Sans", 10, QFont::Bold);
  p.setFont(font);
  p.setPen(kInk);
  p.drawText(QRectF(27, 0, 77, 24), Qt::AlignLeft | Qt::AlignVCenter, "Vantorel");
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]) + "/";
  const struct {
    const char* name;
    QImage image;
  } pictures[] = {
      {"connect_banner.png", ConnectBanner()},
      {"vantorel24white.png", Logo24()},
  };
  for (const auto& picture : pictures) {
    if (!picture.image.save(folder + picture.name)) {
      fprintf(stderr, "cannot write %s\n", picture.name);
      return 1;
    }
  }
  return 0;
}
