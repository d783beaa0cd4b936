// A balloon tip attached to one widget: a title with the warning icon and a
// text, on a pale yellow balloon whose tail points at the widget. It shows
// when the cursor rests on the widget (whether or not the window is active),
// centred below it, and hides when the cursor leaves. The window also puts
// its messages up in it for a while (ShowMessage).
//
// The balloon keeps its own colours (black on pale yellow) on every theme;
// its size follows its font.
//
// Threads: GUI thread only.
#pragma once

#include <QPainterPath>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace qv {

class TBalloonTip : public QWidget {
  Q_OBJECT
public:
  TBalloonTip(QWidget* tool, const QString& title, const QString& text);

  QWidget* Tool() const { return tool_; }
  const QString& Title() const { return title_; }
  const QString& Text() const { return text_; }
  void Popup();  // shows the tip below the tool now

  // Shows `title` and `text` in the balloon at once, whether or not the
  // cursor is on the tool, for `msecs` or until the user moves away from
  // the tool or clicks it; then the balloon has its own texts again. With
  // an `anchor` (a widget at the bottom of the window, while the tool is
  // out of sight) the balloon stands above the anchor and points down at it.
  void ShowMessage(const QString& title, const QString& text, int msecs, QWidget* anchor = nullptr);
  bool ShowingMessage() const { return message_; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  void Fit();
  QPainterPath Shape() const;
  void UpdateMask();
  void EndMessage();

  QPointer<QWidget> tool_;
  QString title_;
  QString text_;
  QString ownTitle_;
  QString ownText_;
  bool message_ = false;
  QPointer<QWidget> anchor_;  // what a message points at
  bool above_ = false;        // the balloon stands above what it points at
  QTimer delay_;
  QTimer expiry_;
};

}  // namespace qv
