#include "app/about_box.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>

#include "app/app_info.h"

namespace kestrix::app {

namespace {

QFont sansSerif(int pixels, bool bold = false) {
  QFont font;
  font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans", "Noto Sans CJK SC"});
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

}  // namespace

QPixmap programIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 48.0;
  p.scale(s, s);
  // A letter on a disk platter: what the program does, in one picture.
  p.setPen(QPen(QColor(40, 60, 110), 2));
  p.setBrush(QColor(200, 210, 230));
  p.drawEllipse(QRectF(3, 3, 42, 42));
  p.setBrush(QColor(120, 135, 170));
  p.drawEllipse(QRectF(20, 20, 8, 8));
  QPainterPath envelope;
  envelope.addRect(QRectF(12, 14, 24, 17));
  p.setPen(QPen(QColor(40, 60, 110), 1.5));
  p.setBrush(QColor(255, 250, 235));
  p.drawPath(envelope);
  p.drawLine(QPointF(12, 14), QPointF(24, 24));
  p.drawLine(QPointF(36, 14), QPointF(24, 24));
  return pixmap;
}

AboutBox::AboutBox(const QString& caption, QWidget* parent) : QDialog(parent) {
  setObjectName("Form2");
  setWindowTitle(caption);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(355, 190);
  setFont(sansSerif(11));

  auto* panel = new QFrame(this);
  panel->setObjectName("Panel1");
  panel->setFrameShape(QFrame::Box);
  panel->setGeometry(8, 8, 337, 137);

  auto* image = new QLabel(panel);
  image->setObjectName("Image1");
  image->setGeometry(8, 16, 57, 49);
  image->setPixmap(programIcon(48));

  auto* label1 = new QLabel(panel);
  label1->setObjectName("Label1");
  label1->setGeometry(85, 24, 236, 49);
  label1->setText(tr("KESTRIX是一款针对\nOUTLOOK2000,2002,2003,2007\n的PST邮件碎片恢复的一款工具！"));

  auto* version = new QLabel(tr("版本 %1").arg(kVersion), panel);
  version->setObjectName("Version");
  version->setGeometry(85, 88, 105, 13);

  QPalette navy = palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  auto* label2 = new QLabel(kMakerName, panel);
  label2->setObjectName("Label2");
  label2->setGeometry(200, 88, 105, 13);
  label2->setPalette(navy);
  label2->setFont(sansSerif(11));

  // The web address only where the build names one: no address rather than a made-up one.
  m_label3 = new QLabel(QString(kMakerUrl).remove(QRegularExpression("^https?://")), panel);
  m_label3->setObjectName("Label3");
  m_label3->setGeometry(200, 104, 121, 13);
  m_label3->setPalette(navy);
  m_label3->setCursor(Qt::PointingHandCursor);
  m_label3->setVisible(*kMakerUrl != '\0');
  m_label3->installEventFilter(this);

  auto* ok = new QPushButton(tr("确定"), this);
  ok->setObjectName("Button1");
  ok->setGeometry(136, 152, 75, 25);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutBox::Label3Click() {
  if (*kMakerUrl != '\0') QDesktopServices::openUrl(QUrl(kMakerUrl));
}

bool AboutBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_label3 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Label3Click();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace kestrix::app
