// TRegistrationForm: the account dialog ("Cuenta SIP"). It edits the five
// texts of an account and never touches the settings file; the caller fills
// it, runs it and reads the texts back. "&Guardar" with an empty server is
// refused with an error box and the dialog stays open.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qv {

class TRegistrationForm : public QDialog {
  Q_OBJECT
public:
  explicit TRegistrationForm(QWidget* parent = nullptr);

  QLineEdit* ServerEdit;
  QLineEdit* UserEdit;
  QLineEdit* PasswordEdit;  // shown as "*"
  QLineEdit* ProxyEdit;
  QCheckBox* StunBox;       // not ticked when the dialog opens
  QLineEdit* STUNEdit;      // enabled only while StunBox is ticked; returned either way
  QPushButton* SaveBtn;     // "&Guardar"
  QPushButton* CancelBtn;   // "&Cancelar"

  void done(int result) override;

private:
  void StunBoxClick();
};

}  // namespace qv
