// TStatusBar: the main window's status bar with its two panels. Panel 0 is
// drawn by the window: the online icon, normal or greyed, and a text beside
// it. Panel 1 is empty unless the bar has a note to show (a call running on
// the virtual sound devices). A click anywhere on the bar is reported with
// the mouse position.
//
// Both panels size themselves from the font: panel 0 is at least as wide as
// the window's design gave it (170 pixels at 9 pt) and takes the room that
// is left, panel 1 is 50 or as wide as its note; the bar is as high as the
// icon or a line of text, whichever is more.
//
// Threads: GUI thread only.
#pragma once

#include <QStatusBar>
#include <QStringList>
#include <functional>

namespace qv {

class TStatusBar : public QStatusBar {
  Q_OBJECT
public:
  explicit TStatusBar(QWidget* parent = nullptr);

  // How panel 0 is drawn; the window sets it and calls RepaintPanel. `panel`
  // is the panel's inside; IconSize() says how large the icon should be.
  std::function<void(QPainter& painter, const QRect& panel)> OnDrawPanel;
  void RepaintPanel();
  QWidget* Panel(int index) const { return index == 0 ? panel0_ : panel1_; }
  int IconSize() const;
  int TextLeft() const { return IconSize() + 4; }  // where panel 0's text starts

  // Texts panel 0 must always have room for: it is at least that wide.
  void SetTextsToFit(const QStringList& texts);

  // Panel 1's note ("" for none) and its hint.
  void SetNote(const QString& text, const QString& hint);
  QString Note() const { return note_; }

  std::function<void(const QPoint& globalPos)> OnClick;

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;

private:
  friend class TStatusPanel;
  void ApplyMetrics();

  QWidget* panel0_;
  QWidget* panel1_;
  QString note_;
  QStringList fit_;
};

}  // namespace qv
