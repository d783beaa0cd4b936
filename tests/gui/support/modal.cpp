#include "support/modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>

#include "support/texts.h"

namespace qv::test {

TModalWatcher::TModalWatcher() {
  connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
  timer_.start(10);
}

void TModalWatcher::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (!modal || !modal->isVisible()) return;
  std::erase_if(seen_, [](const QPointer<QObject>& p) { return p.isNull(); });
  for (const QPointer<QObject>& p : seen_)
    if (p.data() == modal) return;
  seen_.push_back(modal);
  QPointer<QWidget> target = modal;
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    QStringList buttons;
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    Boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(), buttons});
    NoteText(box->windowTitle());
    NoteText(box->text());
    QMessageBox::StandardButton answer = Answer;
    QTimer::singleShot(0, this, [target, answer] {
      auto* b = qobject_cast<QMessageBox*>(target.data());
      if (!b) return;
      QAbstractButton* button = b->button(answer);
      if (!button) button = b->escapeButton();
      if (button)
        button->click();
      else
        b->reject();
    });
    return;
  }
  if (qobject_cast<QDialog*>(modal)) {
    ++Dialogs;
    QTimer::singleShot(0, this, [this, target] {
      auto* d = qobject_cast<QDialog*>(target.data());
      if (!d) return;
      HarvestTexts();
      if (OnDialog)
        OnDialog(d);
      else
        d->reject();
    });
  }
}

}  // namespace qv::test
