// TRegistrationForm: the account dialog ("Cuenta SIP"). It edits the five
// texts of an account and never touches the settings file; the caller fills
// it, runs it and reads the texts back. "&Guardar" with an empty server is
// refused with an error box and the dialog stays open.
//
// "Usar servidor STUN" opens ticked when the account has a STUN server, and
// what it shows is what is saved: a cleared box saves no STUN server (the
// text stays in the field, greyed, until the dialog closes).
//
// Threads: GUI thread only.
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
  QCheckBox* StunBox;       // ticked on opening when STUNEdit holds a server
  QLineEdit* STUNEdit;      // enabled only while StunBox is ticked
  QPushButton* SaveBtn;     // "&Guardar"
  QPushButton* CancelBtn;   // "&Cancelar"

  void done(int result) override;

  // The STUN server to save: STUNEdit's text while the box is ticked, else "".
  QString StunServer() const;

protected:
  void showEvent(QShowEvent* event) override;

private:
  void StunBoxClick();
  bool shown_ = false;
};

}  // namespace qv
