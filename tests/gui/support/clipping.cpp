#include "support/clipping.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QToolButton>
#include <QTreeWidget>

#include "app/mainframe.h"
#include "app/pictures.h"
#include "app/statusbar.h"

namespace qv::test {

namespace {

QString Name(const QWidget* w) {
  return w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName();
}

QString Size(const QSize& s) { return QStringLiteral("%1x%2").arg(s.width()).arg(s.height()); }

void Check(QStringList& out, const QWidget* w, const QString& text, const QSize& has, const QSize& needs) {
  if (has.width() >= needs.width() && has.height() >= needs.height()) return;
  out << QStringLiteral("%1 \"%2\": %3 < %4").arg(Name(w), text, Size(has), Size(needs));
}

QSize TextBox(const QFontMetrics& fm, const QString& text) {
  return fm.size(Qt::TextShowMnemonic, text);
}

void CheckButton(QStringList& out, QAbstractButton* b) {
  QFontMetrics fm(b->font());
  QSize text = b->text().isEmpty() ? QSize(0, 0) : TextBox(fm, b->text());
  QSize icon = b->icon().isNull() ? QSize(0, 0) : b->iconSize();
  if (auto* push = qobject_cast<QPushButton*>(b)) {
    // The text and picture must fit the part of the button inside its bevel.
    QStyleOptionButton option;
    option.initFrom(push);
    option.rect = push->rect();
    QRect inside = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push);
    int gap = text.width() > 0 && icon.width() > 0 ? 4 : 0;
    QSize needs(text.width() + icon.width() + gap, std::max(text.height(), icon.height()));
    Check(out, b, b->text(), inside.size(), needs);
  } else if (auto* tool = qobject_cast<QToolButton*>(b)) {
    // The style's own measure of what text and picture take.
    Check(out, b, b->text(), tool->size(), tool->sizeHint());
  } else {
    Check(out, b, b->text(), b->size(), b->sizeHint());  // check boxes and the like
  }
}

void CheckCombo(QStringList& out, QComboBox* c) {
  QStyleOptionComboBox option;
  option.initFrom(c);
  option.rect = c->rect();
  QRect field = c->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, c);
  QFontMetrics fm(c->font());
  // Every item the list can show in the field, not only the present one.
  for (int i = 0; i < c->count(); ++i) Check(out, c, c->itemText(i), field.size(), TextBox(fm, c->itemText(i)));
}

void CheckGroupBox(QStringList& out, QGroupBox* g) {
  if (g->title().isEmpty()) return;
  QStyleOptionGroupBox option;
  option.initFrom(g);
  option.rect = g->rect();
  option.text = g->title();
  option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
  option.textAlignment = g->alignment();
  QRect label = g->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, g);
  label = label.intersected(g->rect());
  Check(out, g, g->title(), label.size(), TextBox(QFontMetrics(g->font()), g->title()));
}

void CheckTree(QStringList& out, QTreeWidget* t) {
  QHeaderView* header = t->header();
  if (!header->isVisible()) return;
  int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
  QFontMetrics fm(header->font());
  for (int i = 0; i < t->columnCount(); ++i) {
    QString text = t->headerItem()->text(i);
    QSize needs = TextBox(fm, text) + QSize(margin, 0);
    Check(out, header, text, QSize(header->sectionSize(i), header->height()), needs);
  }
}

void CheckMemo(QStringList& out, QPlainTextEdit* m) {
  QFontMetrics fm(m->font());
  QStringList lines = m->toPlainText().split('\n');
  int wide = 0;
  for (const QString& line : lines) wide = std::max(wide, fm.horizontalAdvance(line));
  int margin = 2 * int(m->document()->documentMargin());
  QSize needs(wide + margin, int(lines.size()) * fm.lineSpacing() + margin);
  Check(out, m, lines.value(0), m->viewport()->size(), needs);
}

void CheckStatusBar(QStringList& out, TMainForm* form) {
  TStatusBar* bar = form->StatusLine();
  QWidget* panel0 = bar->Panel(0);
  QFontMetrics fm(bar->font());
  QString text = form->StatusText();
  QRect inside = static_cast<QFrame*>(panel0)->contentsRect();
  QSize textBox = TextBox(fm, text);
  QSize needs(bar->TextLeft() + textBox.width(), std::max(bar->IconSize(), textBox.height()));
  Check(out, panel0, text, inside.size(), needs);
  if (!bar->Note().isEmpty())
    Check(out, bar->Panel(1), bar->Note(), static_cast<QFrame*>(bar->Panel(1))->contentsRect().size(),
          TextBox(fm, bar->Note()));
}

}  // namespace

QStringList ClippedControls(QWidget* window) {
  QStringList out;
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  widgets.prepend(window);
  for (QWidget* w : widgets) {
    if (!w->isVisible()) continue;
    if (auto* picture = qobject_cast<TPictureLabel*>(w)) {
      Check(out, w, "(picture)", w->size(), picture->sizeHint());
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
      if (!l->text().isEmpty() && !l->wordWrap()) Check(out, l, l->text(), l->contentsRect().size(), TextBox(l->fontMetrics(), l->text()));
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      CheckButton(out, b);
    } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
      // A field scrolls its text sideways; its height must hold a line.
      Check(out, e, e->text(), QSize(e->width(), e->height()), QSize(0, e->minimumSizeHint().height()));
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
      CheckCombo(out, c);
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
      CheckGroupBox(out, g);
    } else if (auto* t = qobject_cast<QTreeWidget*>(w)) {
      CheckTree(out, t);
    } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
      CheckMemo(out, m);
    }
    if (auto* form = qobject_cast<TMainForm*>(w)) CheckStatusBar(out, form);
  }
  return out;
}

}  // namespace qv::test
