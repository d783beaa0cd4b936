#include "app/statusbar.h"

#include <QEvent>
#include <QFrame>
#include <QMouseEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include "app/metrics.h"

namespace qv {

class TStatusPanel : public QFrame {
public:
  TStatusPanel(TStatusBar* bar, bool drawn) : bar_(bar), drawn_(drawn) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAttribute(Qt::WA_TransparentForMouseEvents);  // the bar takes the clicks
  }

  QSize sizeHint() const override {
    int inner = std::max(bar_->IconSize(), fontMetrics().height()) + 2;
    return QSize(minimumWidth(), inner + 2 * frameWidth());
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    QPainter painter(this);
    if (drawn_) {
      if (bar_->OnDrawPanel) bar_->OnDrawPanel(painter, contentsRect());
      return;
    }
    if (bar_->note_.isEmpty()) return;
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect().adjusted(3, 0, -3, 0), Qt::AlignCenter, bar_->note_);
  }

private:
  TStatusBar* bar_;
  bool drawn_;
};

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
  setSizeGripEnabled(false);
  panel0_ = new TStatusPanel(this, true);
  panel0_->setObjectName("StatusPanel0");
  panel1_ = new TStatusPanel(this, false);
  panel1_->setObjectName("StatusPanel1");
  addWidget(panel0_, 1);
  addWidget(panel1_);
  ApplyMetrics();
}

int TStatusBar::IconSize() const { return Scaled(this, 16); }

void TStatusBar::ApplyMetrics() {
  int text = 0;
  for (const QString& t : fit_) text = std::max(text, fontMetrics().horizontalAdvance(t));
  int frame = 2 * static_cast<QFrame*>(panel0_)->frameWidth();
  panel0_->setMinimumWidth(std::max(Scaled(this, 170), TextLeft() + text + frame + 2));
  int noteWidth = note_.isEmpty() ? 0 : fontMetrics().horizontalAdvance(note_) + 6 + 2 * 2;
  panel1_->setMinimumWidth(std::max(Scaled(this, 50), noteWidth));
  panel0_->updateGeometry();
  panel1_->updateGeometry();
}

void TStatusBar::SetTextsToFit(const QStringList& texts) {
  fit_ = texts;
  ApplyMetrics();
}

void TStatusBar::SetNote(const QString& text, const QString& hint) {
  if (text == note_ && panel1_->toolTip() == hint) return;
  note_ = text;
  panel1_->setToolTip(hint);
  ApplyMetrics();
  panel1_->update();
}

void TStatusBar::RepaintPanel() { panel0_->update(); }

void TStatusBar::mousePressEvent(QMouseEvent* event) {
  if (OnClick) OnClick(event->globalPosition().toPoint());
  QStatusBar::mousePressEvent(event);
}

bool TStatusBar::event(QEvent* event) {
  // The panels let the mouse through to the bar, so the bar shows panel 1's hint.
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    if (panel1_->geometry().contains(help->pos()) && !panel1_->toolTip().isEmpty())
      QToolTip::showText(help->globalPos(), panel1_->toolTip(), this);
    else
      QToolTip::hideText();
    return true;
  }
  return QStatusBar::event(event);
}

void TStatusBar::changeEvent(QEvent* event) {
  QStatusBar::changeEvent(event);
  if (event->type() == QEvent::FontChange) ApplyMetrics();
}

}  // namespace qv
