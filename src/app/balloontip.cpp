#include "app/balloontip.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStyle>

namespace qv {

namespace {

constexpr int kTail = 10;     // height of the tail pointing at the tool
constexpr int kPadding = 8;
constexpr int kIcon = 16;
const QColor kBackground(255, 255, 236);

}  // namespace

TBalloonTip::TBalloonTip(QWidget* tool, const QString& title, const QString& text)
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint),
      tool_(tool),
      title_(title),
      text_(text) {
  setObjectName("BalloonTip");
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  tool->installEventFilter(this);
  tool->setAttribute(Qt::WA_AlwaysShowToolTips);  // hover events while inactive too
  delay_.setSingleShot(true);
  delay_.setInterval(500);
  connect(&delay_, &QTimer::timeout, this, &TBalloonTip::Popup);
  connect(tool, &QObject::destroyed, this, &QObject::deleteLater);

  QFont bold = font();
  bold.setBold(true);
  QFontMetrics titleMetrics(bold);
  QRect textRect = fontMetrics().boundingRect(QRect(0, 0, 400, 200), Qt::AlignLeft, text_);
  int width = std::max(kIcon + 6 + titleMetrics.horizontalAdvance(title_), textRect.width());
  int height = std::max(kIcon, titleMetrics.height()) + 6 + textRect.height();
  resize(width + 2 * kPadding + 2, height + 2 * kPadding + kTail + 2);
}

void TBalloonTip::Popup() {
  if (!tool_ || !tool_->isVisible()) return;
  QPoint below = tool_->mapToGlobal(QPoint(tool_->width() / 2, tool_->height()));
  move(below.x() - width() / 2, below.y());
  show();
  raise();
}

bool TBalloonTip::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tool_) {
    switch (event->type()) {
      case QEvent::Enter:
        delay_.start();
        break;
      case QEvent::Leave:
      case QEvent::Hide:
      case QEvent::MouseButtonPress:
        delay_.stop();
        hide();
        break;
      case QEvent::ToolTip:
        return true;  // the balloon replaces the plain tip
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TBalloonTip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF body(0.5, kTail + 0.5, width() - 1.0, height() - kTail - 1.0);
  QPainterPath path;
  path.addRoundedRect(body, 7, 7);
  QPainterPath tail;
  double cx = width() / 2.0;
  tail.moveTo(cx - 8, kTail + 1);
  tail.lineTo(cx, 0.5);
  tail.lineTo(cx + 8, kTail + 1);
  tail.closeSubpath();
  path = path.united(tail);
  p.setPen(QPen(QColor(80, 80, 80), 1));
  p.setBrush(kBackground);
  p.drawPath(path);

  int x = kPadding + 1, y = kTail + kPadding + 1;
  QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
  p.drawPixmap(x, y, warning.pixmap(kIcon, kIcon));
  QFont bold = font();
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(Qt::black);
  QFontMetrics titleMetrics(bold);
  int lineHeight = std::max(kIcon, titleMetrics.height());
  p.drawText(QRect(x + kIcon + 6, y, width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, title_);
  p.setFont(font());
  p.drawText(QRect(x, y + lineHeight + 6, width() - 2 * kPadding, height()), Qt::AlignLeft | Qt::AlignTop,
             text_);
}

}  // namespace qv
