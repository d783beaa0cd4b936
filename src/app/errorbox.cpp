#include "app/errorbox.h"

#include <QMessageBox>
#include <exception>

namespace qv {

const char* const kAppTitle = "Quorvelle";

void ShowErrorBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kAppTitle), text, QMessageBox::Ok, parent);
  box.exec();
}

void RunGuarded(QWidget* parent, const std::function<void()>& handler) {
  QString text;
  try {
    handler();
    return;
  } catch (const std::exception& e) {
    text = QString::fromStdString(e.what());
  } catch (...) {
    text = QStringLiteral("Unknown error");
  }
  ShowErrorBox(parent, text);
}

}  // namespace qv
