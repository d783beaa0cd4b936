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
      text_(text),
      ownTitle_(title),
      ownText_(text) {
  setObjectName("BalloonTip");
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  tool->installEventFilter(this);
  tool->setAttribute(Qt::WA_AlwaysShowToolTips);  // hover events while inactive too
  delay_.setSingleShot(true);
  delay_.setInterval(500);
  connect(&delay_, &QTimer::timeout, this, &TBalloonTip::Popup);
  expiry_.setSingleShot(true);
  connect(&expiry_, &QTimer::timeout, this, &TBalloonTip::EndMessage);
  connect(tool, &QObject::destroyed, this, &QObject::deleteLater);
  Fit();
}

void TBalloonTip::Fit() {
  QFont bold = font();
  bold.setBold(true);
  QFontMetrics titleMetrics(bold);
  QRect textRect = fontMetrics().boundingRect(QRect(0, 0, 2000, 2000), Qt::AlignLeft, text_);
  int icon = std::max(kIcon, titleMetrics.height());
  int width = std::max(icon + 6 + titleMetrics.horizontalAdvance(title_), textRect.width());
  int height = icon + 6 + textRect.height();
  resize(width + 2 * kPadding + 2, height + 2 * kPadding + kTail + 2);
}

void TBalloonTip::ShowMessage(const QString& title, const QString& text, int msecs, QWidget* anchor) {
  if (anchor_ && anchor_ != tool_) anchor_->removeEventFilter(this);
  anchor_ = anchor ? anchor : tool_.data();
  above_ = anchor && anchor != tool_;
  if (above_) anchor->installEventFilter(this);
  title_ = title;
  text_ = text;
  message_ = true;
  Fit();
  UpdateMask();
  update();
  delay_.stop();
  expiry_.start(msecs);
  // The window may still be coming up: place the balloon once it is laid out.
  QTimer::singleShot(0, this, [this] {
    if (message_) Popup();
  });
}

void TBalloonTip::EndMessage() {
  expiry_.stop();
  if (!message_) return;
  message_ = false;
  hide();
  if (anchor_ && anchor_ != tool_) anchor_->removeEventFilter(this);
  anchor_ = tool_;
  above_ = false;
  title_ = ownTitle_;
  text_ = ownText_;
  Fit();
  UpdateMask();
}

void TBalloonTip::mousePressEvent(QMouseEvent*) {
  EndMessage();
  hide();
}

void TBalloonTip::Popup() {
  QWidget* target = message_ && anchor_ ? anchor_.data() : tool_.data();
  if (!target || !target->isVisible()) return;
  if (above_) {
    QPoint top = target->mapToGlobal(QPoint(target->width() / 2, 0));
    move(top.x() - width() / 2, top.y() - height());
  } else {
    QPoint below = target->mapToGlobal(QPoint(target->width() / 2, target->height()));
    move(below.x() - width() / 2, below.y());
  }
  update();
  show();
  raise();
}

bool TBalloonTip::eventFilter(QObject* watched, QEvent* event) {
  if (message_ && above_ && watched == anchor_ && event->type() == QEvent::Hide) EndMessage();
  if (watched == tool_) {
    switch (event->type()) {
      case QEvent::Enter:
        if (!message_) delay_.start();
        break;
      case QEvent::Leave:
      case QEvent::Hide:
      case QEvent::MouseButtonPress:
        delay_.stop();
        EndMessage();
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

QPainterPath TBalloonTip::Shape() const {
  // The tail points up at the tool below which the balloon hangs, or down at
  // the anchor above which it stands.
  const double top = above_ ? 0.5 : kTail + 0.5;
  QRectF body(0.5, top, width() - 1.0, height() - kTail - 1.0);
  QPainterPath path;
  path.addRoundedRect(body, 7, 7);
  QPainterPath tail;
  double cx = width() / 2.0;
  double base = above_ ? height() - kTail - 1.0 : kTail + 1.0;
  double tip = above_ ? height() - 0.5 : 0.5;
  tail.moveTo(cx - 8, base);
  tail.lineTo(cx, tip);
  tail.lineTo(cx + 8, base);
  tail.closeSubpath();
  return path.united(tail);
}

void TBalloonTip::resizeEvent(QResizeEvent*) { UpdateMask(); }

void TBalloonTip::UpdateMask() {
  // Without a compositor the see-through corners would come out black: the
  // balloon is cut to its shape instead.
  QPainterPath outline = Shape();
  QPainterPathStroker stroker;
  stroker.setWidth(2);
  setMask(QRegion(outline.united(stroker.createStroke(outline)).toFillPolygon().toPolygon()));
}

void TBalloonTip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path = Shape();
  p.setPen(QPen(QColor(80, 80, 80), 1));
  p.setBrush(kBackground);
  p.drawPath(path);

  int x = kPadding + 1, y = (above_ ? 0 : kTail) + kPadding + 1;
  QFont bold = font();
  bold.setBold(true);
  QFontMetrics titleMetrics(bold);
  int lineHeight = std::max(kIcon, titleMetrics.height());
  QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
  warning.paint(&p, QRect(x, y, lineHeight, lineHeight));
  p.setFont(bold);
  p.setPen(Qt::black);
  p.drawText(QRect(x + lineHeight + 6, y, width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, title_);
  p.setFont(font());
  p.drawText(QRect(x, y + lineHeight + 6, width() - 2 * kPadding, height()), Qt::AlignLeft | Qt::AlignTop,
             text_);
}

}  // namespace qv
