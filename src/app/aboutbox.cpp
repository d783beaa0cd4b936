#include "app/aboutbox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/errorbox.h"
#include "app/pictures.h"

namespace qv {

const char* const kVersionText = "v0.9.3 build 254";
const char* const kCaption = "Quorvelle v0.9.3 build 254";

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("Acerca de...");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  auto* root = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel;
  icon->setPixmap(Picture("quorvelle", 64));
  top->addWidget(icon, 0, Qt::AlignTop);
  auto* text = new QVBoxLayout;
  auto* name = new QLabel(QString::fromUtf8(kAppTitle));
  QFont big = name->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  name->setFont(big);
  name->setObjectName("AboutName");
  auto* version = new QLabel(QString::fromUtf8(kVersionText));
  version->setObjectName("AboutVersion");
  auto* credits = new QLabel(
      "Telefono SIP para el escritorio.\n"
      "Desarrollado por el equipo de Quorvelle.");
  credits->setObjectName("AboutCredits");
  text->addWidget(name);
  text->addWidget(version);
  text->addSpacing(8);
  text->addWidget(credits);
  text->addStretch(1);
  top->addLayout(text, 1);
  root->addLayout(top);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  root->addWidget(buttons);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace qv
