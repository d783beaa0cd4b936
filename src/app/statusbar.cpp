#include "app/statusbar.h"

#include <QFrame>
#include <QMouseEvent>
#include <QPainter>

namespace qv {

namespace {

class TPanel : public QFrame {
public:
  TPanel(TStatusBar* bar, int width, bool drawn) : bar_(bar), drawn_(drawn) {
    setFixedWidth(width);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAttribute(Qt::WA_TransparentForMouseEvents);  // the bar takes the clicks
  }

protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    if (!drawn_ || !bar_->OnDrawPanel) return;
    QPainter painter(this);
    bar_->OnDrawPanel(painter, contentsRect());
  }

private:
  TStatusBar* bar_;
  bool drawn_;
};

}  // namespace

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
  setSizeGripEnabled(false);
  setFixedHeight(22);
  panel0_ = new TPanel(this, 170, true);
  panel0_->setObjectName("StatusPanel0");
  panel1_ = new TPanel(this, 50, false);
  panel1_->setObjectName("StatusPanel1");
  addWidget(panel0_);
  addWidget(panel1_);
}

void TStatusBar::RepaintPanel() { panel0_->update(); }

void TStatusBar::mousePressEvent(QMouseEvent* event) {
  if (OnClick) OnClick(event->globalPosition().toPoint());
  QStatusBar::mousePressEvent(event);
}

}  // namespace qv
