#include "app/accountsframe.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/metrics.h"

namespace qv {

TAccountsFrm::TAccountsFrm(QWidget* parent) : QWidget(parent) {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(6, 6, 6, 6);
  AccountList = new QTreeWidget;
  AccountList->setObjectName("AccountList");
  AccountList->setColumnCount(2);
  AccountList->setHeaderLabels({"Domain", "User name"});
  AccountList->setRootIsDecorated(false);
  AccountList->setItemsExpandable(false);
  AccountList->setUniformRowHeights(true);
  AccountList->setSelectionBehavior(QAbstractItemView::SelectRows);
  AccountList->setSelectionMode(QAbstractItemView::SingleSelection);
  AccountList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  AccountList->header()->setSectionsMovable(false);
  AccountList->header()->setStretchLastSection(false);
  root->addWidget(AccountList, 1);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(4);
  auto button = [&](const char* name, const char* caption) {
    auto* b = new QPushButton(caption);
    b->setObjectName(name);
    buttons->addWidget(b);
    return b;
  };
  SelectBtn = button("SelectBtn", "Seleccionar");
  AddBtn = button("AddBtn", "Agregar");
  EditBtn = button("EditBtn", "Editar");
  RemoveBtn = button("RemoveBtn", "Remover");
  root->addLayout(buttons);
  ApplyMetrics();
}

void TAccountsFrm::ApplyMetrics() {
  AccountList->setColumnWidth(0, Scaled(this, 130));
  AccountList->setColumnWidth(1, Scaled(this, 120));
  // Four buttons side by side fit the window only at their text's width.
  for (QPushButton* b : {SelectBtn, AddBtn, EditBtn, RemoveBtn}) ShrinkToText(b, {b->text()});
}

void TAccountsFrm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) ApplyMetrics();
}

void TAccountsFrm::AddRow(const QString& domain, const QString& user) {
  auto* row = new QTreeWidgetItem(AccountList);
  SetRow(row, domain, user);
}

int TAccountsFrm::RowCount() const { return AccountList->topLevelItemCount(); }

QTreeWidgetItem* TAccountsFrm::Row(int index) const { return AccountList->topLevelItem(index); }

QTreeWidgetItem* TAccountsFrm::Selected() const {
  QList<QTreeWidgetItem*> rows = AccountList->selectedItems();
  return rows.isEmpty() ? nullptr : rows.front();
}

QString TAccountsFrm::Domain(const QTreeWidgetItem* row) { return row->text(0); }

QString TAccountsFrm::UserName(const QTreeWidgetItem* row) { return row->text(1); }

void TAccountsFrm::SetRow(QTreeWidgetItem* row, const QString& domain, const QString& user) {
  row->setText(0, domain);
  row->setText(1, user);
}

void TAccountsFrm::SelectRow(QTreeWidgetItem* row) {
  AccountList->setCurrentItem(row);
  row->setSelected(true);
  AccountList->setFocus();
}

void TAccountsFrm::DeleteRow(QTreeWidgetItem* row) { delete row; }

}  // namespace qv
