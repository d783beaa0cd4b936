#include "support/texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTreeWidget>

#include "app/balloontip.h"
#include "app/mainframe.h"

namespace qv::test {

namespace {

QSet<QString>& Store() {
  static QSet<QString> seen;
  return seen;
}

}  // namespace

void NoteText(const QString& text) {
  if (text.isEmpty()) return;
  Store().insert(text);
  for (const QString& line : text.split(QRegularExpression("\r\n|\n|\r"))) Store().insert(line);
}

const QSet<QString>& SeenTexts() { return Store(); }

void HarvestTexts() {
  for (QWidget* w : QApplication::allWidgets()) {
    NoteText(w->toolTip());
    if (w->isWindow()) NoteText(w->windowTitle());
    if (auto* b = qobject_cast<QAbstractButton*>(w)) NoteText(b->text());
    if (auto* l = qobject_cast<QLabel*>(w)) NoteText(l->text());
    if (auto* g = qobject_cast<QGroupBox*>(w)) NoteText(g->title());
    if (auto* e = qobject_cast<QLineEdit*>(w)) NoteText(e->text());
    if (auto* m = qobject_cast<QPlainTextEdit*>(w)) NoteText(m->toPlainText());
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) NoteText(c->itemText(i));
    if (auto* t = qobject_cast<QTreeWidget*>(w))
      for (int i = 0; i < t->columnCount(); ++i) NoteText(t->headerItem()->text(i));
    if (auto* box = qobject_cast<QMessageBox*>(w)) NoteText(box->text());
    if (auto* menu = qobject_cast<QMenu*>(w))
      for (QAction* a : menu->actions()) NoteText(a->text());
    if (auto* tip = qobject_cast<TBalloonTip*>(w)) {
      NoteText(tip->Title());
      NoteText(tip->Text());
    }
    if (auto* form = qobject_cast<TMainForm*>(w)) {
      NoteText(form->StatusText());
      NoteText(form->MemoText());
    }
  }
}

}  // namespace qv::test
