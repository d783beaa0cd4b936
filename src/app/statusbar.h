// TStatusBar: the main window's status bar with its two panels. Panel 0 (170
// wide) is drawn by the window: the online icon, normal or greyed, and a
// text at x = 20, y = 3. Panel 1 (50 wide) stays empty. A click anywhere on
// the bar is reported with the mouse position.
#pragma once

#include <QStatusBar>
#include <functional>

namespace qv {

class TStatusBar : public QStatusBar {
  Q_OBJECT
public:
  explicit TStatusBar(QWidget* parent = nullptr);

  // How panel 0 is drawn; the window sets it and calls RepaintPanel.
  std::function<void(QPainter& painter, const QRect& panel)> OnDrawPanel;
  void RepaintPanel();
  QWidget* Panel(int index) const { return index == 0 ? panel0_ : panel1_; }

  std::function<void(const QPoint& globalPos)> OnClick;

protected:
  void mousePressEvent(QMouseEvent* event) override;

private:
  QWidget* panel0_;
  QWidget* panel1_;
};

}  // namespace qv
