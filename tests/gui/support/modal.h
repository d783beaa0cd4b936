// Handles the modal boxes and dialogs a GUI test runs into: it watches for
// the active modal widget, records every message box (title, text, icon) and
// answers it, and hands every other dialog to the test's handler. Clicks are
// made from a fresh event, so a dialog's handler may itself run into a
// nested box, which the watcher then answers too.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <vector>

class QDialog;

namespace qv::test {

class TModalWatcher : public QObject {
  Q_OBJECT
public:
  struct TBox {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon;
    QMessageBox::StandardButtons Buttons;
    QStringList ButtonTexts;  // as the box shows them
  };

  TModalWatcher();

  // The button pressed on message boxes that have it (Ok, Yes, ...); boxes
  // without it get their escape button.
  QMessageBox::StandardButton Answer = QMessageBox::Ok;
  // Other modal dialogs. Unset: the dialog is rejected.
  std::function<void(QDialog*)> OnDialog;

  std::vector<TBox> Boxes;
  int Dialogs = 0;

private:
  void Poll();

  QTimer timer_;
  // Guarded pointers: a new box may be allocated where an old one was.
  std::vector<QPointer<QObject>> seen_;
};

}  // namespace qv::test
