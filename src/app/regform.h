// TRegistrationForm: the account dialog ("Cuenta SIP"). It edits the five
// texts of an account and never touches the settings file; the caller fills
// it, runs it and reads the texts back. "&Guardar" with an empty server is
// refused with an error box and the dialog stays open.
//
// "Usar servidor STUN" opens ticked when the account has a STUN server, and
// what it shows is what is saved: a cleared box saves no STUN server (the
// text stays in the field, greyed, until the dialog closes).
//
// Below them, secure calls: "Transporte :" (UDP, TCP, TLS), "SRTP :"
// (Desactivado, Opcional, Obligatorio), "Archivo CA :" and "Claves SRTP
// tambien sin TLS". They open at their defaults for an account that never set
// them, and the texts they give back are those the settings file stores.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "sip/sipints.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace qv {

// The settings file's texts for the transport ("udp", "tcp", "tls") and the
// SRTP mode ("off", "optional", "mandatory"), in any case; anything else,
// and an empty text, is the default (UDP, off).
TSipTransport TransportOf(const std::string& text);
TSrtpMode SrtpModeOf(const std::string& text);

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
  QComboBox* TransportBox;      // UDP, TCP, TLS
  QComboBox* SrtpBox;           // Desactivado, Opcional, Obligatorio
  QLineEdit* CaFileEdit;        // a PEM file trusted for TLS besides the system's
  QCheckBox* KeysWithoutTlsBox; // SRTP keys over UDP or TCP too
  QPushButton* SaveBtn;     // "&Guardar"
  QPushButton* CancelBtn;   // "&Cancelar"

  void done(int result) override;

  // The STUN server to save: STUNEdit's text while the box is ticked, else "".
  QString StunServer() const;

  // Fills the secure-call controls from the file's texts.
  void SetSecurity(const std::string& transport, const std::string& srtp, const std::string& caFile,
                   bool keysWithoutTls);
  // The file's texts for the chosen transport and mode; "" for the defaults.
  std::string TransportText() const;
  std::string SrtpText() const;

protected:
  void showEvent(QShowEvent* event) override;

private:
  void StunBoxClick();
  bool shown_ = false;
};

}  // namespace qv
