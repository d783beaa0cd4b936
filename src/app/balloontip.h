// A balloon tip attached to one widget: a title with the warning icon and a
// text, on a pale yellow balloon whose tail points at the widget. It shows
// when the cursor rests on the widget (whether or not the window is active),
// centred below it, and hides when the cursor leaves.
#pragma once

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

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

private:
  QPointer<QWidget> tool_;
  QString title_;
  QString text_;
  QTimer delay_;
};

}  // namespace qv
