// TAccountsFrm: the account list frame. One row per account, Domain (the
// server as typed) and User name; the four buttons are bound by the main
// window to its account actions (mainframe_accounts.cpp).
#pragma once

#include <QString>
#include <QWidget>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qv {

class TAccountsFrm : public QWidget {
  Q_OBJECT
public:
  explicit TAccountsFrm(QWidget* parent = nullptr);

  QTreeWidget* AccountList;  // report style, whole rows, read-only
  QPushButton* SelectBtn;    // "Seleccionar"
  QPushButton* AddBtn;       // "Agregar"
  QPushButton* EditBtn;      // "Editar"
  QPushButton* RemoveBtn;    // "Remover"

  void AddRow(const QString& domain, const QString& user);
  int RowCount() const;
  QTreeWidgetItem* Row(int index) const;
  QTreeWidgetItem* Selected() const;  // nullptr when no row is selected
  static QString Domain(const QTreeWidgetItem* row);
  static QString UserName(const QTreeWidgetItem* row);
  void SetRow(QTreeWidgetItem* row, const QString& domain, const QString& user);
  void SelectRow(QTreeWidgetItem* row);
  void DeleteRow(QTreeWidgetItem* row);

  // Column and button widths from the frame's font (metrics.h).
  void ApplyMetrics();

protected:
  void changeEvent(QEvent* event) override;
};

}  // namespace qv
