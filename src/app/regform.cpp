#include "app/regform.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

#include "app/errorbox.h"
#include "app/metrics.h"
#include "app/pictures.h"

namespace qv {

namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return text;
}

}  // namespace

TSipTransport TransportOf(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "tcp") return TSipTransport::Tcp;
  if (t == "tls") return TSipTransport::Tls;
  return TSipTransport::Udp;
}

TSrtpMode SrtpModeOf(const std::string& text) {
  const std::string t = Lower(text);
  if (t == "optional") return TSrtpMode::Optional;
  if (t == "mandatory") return TSrtpMode::Mandatory;
  return TSrtpMode::Off;
}

TRegistrationForm::TRegistrationForm(QWidget* parent) : QDialog(parent) {
  setObjectName("RegistrationForm");
  setWindowTitle("Cuenta SIP");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  auto* root = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto edit = [&](const char* name) {
    auto* e = new QLineEdit;
    e->setObjectName(name);
    e->setMinimumWidth(Scaled(this, 190));
    return e;
  };
  ServerEdit = edit("ServerEdit");
  UserEdit = edit("UserEdit");
  PasswordEdit = edit("PasswordEdit");
  PasswordEdit->setEchoMode(QLineEdit::Password);
  PasswordEdit->setStyleSheet("lineedit-password-character: 42");  // "*"

  ProxyEdit = edit("ProxyEdit");
  form->addRow("Servidor SIP :", ServerEdit);
  form->addRow("Usuario :", UserEdit);
  form->addRow("Password :", PasswordEdit);
  form->addRow("Proxy :", ProxyEdit);
  StunBox = new QCheckBox("Usar servidor STUN");
  StunBox->setObjectName("StunBox");
  STUNEdit = edit("STUNEdit");
  STUNEdit->setMinimumWidth(Scaled(this, 110));
  STUNEdit->setEnabled(false);
  PaintEditable(STUNEdit, false);
  auto* stunRow = new QHBoxLayout;
  stunRow->addWidget(StunBox);
  stunRow->addWidget(STUNEdit, 1);
  root->addLayout(form);
  root->addLayout(stunRow);

  auto* secure = new QFormLayout;
  secure->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
  TransportBox = new QComboBox;
  TransportBox->setObjectName("TransportBox");
  TransportBox->addItems({"UDP", "TCP", "TLS"});
  SrtpBox = new QComboBox;
  SrtpBox->setObjectName("SrtpBox");
  SrtpBox->addItems({"Desactivado", "Opcional", "Obligatorio"});
  CaFileEdit = edit("CaFileEdit");
  KeysWithoutTlsBox = new QCheckBox("Claves SRTP tambien sin TLS");
  KeysWithoutTlsBox->setObjectName("KeysWithoutTlsBox");
  secure->addRow("Transporte :", TransportBox);
  secure->addRow("SRTP :", SrtpBox);
  secure->addRow("Archivo CA :", CaFileEdit);
  secure->addRow("", KeysWithoutTlsBox);
  root->addLayout(secure);

  auto* buttons = new QHBoxLayout;
  SaveBtn = new QPushButton("&Guardar");
  SaveBtn->setObjectName("SaveBtn");
  SaveBtn->setDefault(true);
  CancelBtn = new QPushButton("&Cancelar");
  CancelBtn->setObjectName("CancelBtn");
  buttons->addStretch(1);
  buttons->addWidget(SaveBtn);
  buttons->addWidget(CancelBtn);
  root->addLayout(buttons);

  connect(SaveBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(StunBox, &QCheckBox::clicked, this, [this] { StunBoxClick(); });
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void TRegistrationForm::showEvent(QShowEvent* event) {
  // The box says whether the account uses a STUN server, as stored.
  if (!shown_) {
    shown_ = true;
    StunBox->setChecked(!STUNEdit->text().isEmpty());
    STUNEdit->setEnabled(StunBox->isChecked());
    PaintEditable(STUNEdit, StunBox->isChecked());
  }
  QDialog::showEvent(event);
}

void TRegistrationForm::SetSecurity(const std::string& transport, const std::string& srtp,
                                    const std::string& caFile, bool keysWithoutTls) {
  TransportBox->setCurrentIndex(int(TransportOf(transport)));
  SrtpBox->setCurrentIndex(int(SrtpModeOf(srtp)));
  CaFileEdit->setText(QString::fromStdString(caFile));
  KeysWithoutTlsBox->setChecked(keysWithoutTls);
}

std::string TRegistrationForm::TransportText() const {
  static const char* const kTexts[] = {"", "tcp", "tls"};
  return kTexts[std::clamp(TransportBox->currentIndex(), 0, 2)];
}

std::string TRegistrationForm::SrtpText() const {
  static const char* const kTexts[] = {"", "optional", "mandatory"};
  return kTexts[std::clamp(SrtpBox->currentIndex(), 0, 2)];
}

QString TRegistrationForm::StunServer() const { return StunBox->isChecked() ? STUNEdit->text() : QString(); }

void TRegistrationForm::StunBoxClick() {
  bool on = StunBox->isChecked();
  STUNEdit->setEnabled(on);
  PaintEditable(STUNEdit, on);
  if (on) STUNEdit->setFocus();
}

void TRegistrationForm::done(int result) {
  if (result == QDialog::Accepted && ServerEdit->text().isEmpty()) {
    ShowErrorBox(this, "Ingrese el servidor SIP (ej. Direccion IP de Asterisk)");
    return;  // the dialog stays open
  }
  QDialog::done(result);
}

}  // namespace qv
