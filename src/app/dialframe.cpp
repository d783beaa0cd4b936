#include "app/dialframe.h"

#include <QEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/pictures.h"

namespace qv {

namespace {

QSlider* VolumeSlider(const QString& hint) {
  auto* s = new QSlider(Qt::Horizontal);
  s->setRange(0, 255);
  s->setValue(255);
  s->setTickInterval(25);
  s->setTickPosition(QSlider::TicksBelow);
  s->setPageStep(25);
  s->setToolTip(hint);
  return s;
}

QToolButton* GlyphButton(const QString& picture, const QString& hint) {
  auto* b = new QToolButton;
  b->setIcon(PictureIcon(picture, 22));
  b->setIconSize(QSize(22, 22));
  b->setToolTip(hint);
  b->setFixedSize(34, 30);
  return b;
}

}  // namespace

TDialFrm::TDialFrm(QWidget* parent) : QWidget(parent) {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(6, 4, 6, 4);
  root->setSpacing(5);

  LineMemo = new QPlainTextEdit;
  LineMemo->setObjectName("LineMemo");
  LineMemo->setReadOnly(true);
  LineMemo->setFixedHeight(82);  // room for the four lines of a ringing line
  LineMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LineMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LineMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  LineMemo->setStyleSheet("QPlainTextEdit { background: black; color: white; }");
  QFont memoFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  memoFont.setPointSize(9);
  LineMemo->setFont(memoFont);
  LineMemo->installEventFilter(this);
  root->addWidget(LineMemo);

  auto* phoneRow = new QHBoxLayout;
  PhoneEdit = new QLineEdit("101");
  PhoneEdit->setObjectName("PhoneEdit");
  PhoneEdit->setMaxLength(18);
  QFont phoneFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  phoneFont.setBold(true);
  phoneFont.setPointSize(13);
  PhoneEdit->setFont(phoneFont);
  PhoneEdit->setFixedHeight(30);
  CallBtn = GlyphButton("call", "Llamar");
  CallBtn->setObjectName("CallBtn");
  HangUpBtn = GlyphButton("hangup", "Colgar");
  HangUpBtn->setObjectName("HangUpBtn");
  phoneRow->addWidget(PhoneEdit, 1);
  phoneRow->addWidget(CallBtn);
  phoneRow->addWidget(HangUpBtn);
  root->addLayout(phoneRow);

  auto* middle = new QHBoxLayout;
  middle->setSpacing(8);
  auto* keypad = new QGridLayout;
  keypad->setSpacing(3);
  static const char* const kCaptions[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#"};
  static const int kTags[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 11};
  QFont keyFont = font();
  keyFont.setBold(true);
  keyFont.setPointSize(11);
  for (int i = 0; i < 12; ++i) {
    auto* key = new QPushButton(kCaptions[i]);
    key->setObjectName(QStringLiteral("Key%1").arg(kTags[i]));
    key->setProperty("tag", kTags[i]);
    key->setFont(keyFont);
    key->setFixedSize(44, 32);
    key->setFocusPolicy(Qt::NoFocus);
    keypad->addWidget(key, i / 3, i % 3);
    Keys[size_t(i)] = key;
  }
  middle->addLayout(keypad);

  auto* right = new QVBoxLayout;
  right->setSpacing(3);
  auto* lines = new QGridLayout;
  lines->setSpacing(3);
  for (int i = 0; i < 6; ++i) {
    auto* b = new QToolButton;
    b->setObjectName(QStringLiteral("SBtn%1").arg(i + 1));
    b->setText(QString::number(i + 1));
    b->setToolTip(QStringLiteral("Linea %1").arg(i + 1));
    b->setProperty("tag", i + 1);
    b->setCheckable(true);
    b->setAutoExclusive(true);
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setIconSize(QSize(14, 14));
    b->setFixedHeight(28);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    b->setFocusPolicy(Qt::NoFocus);
    lines->addWidget(b, i / 3, i % 3);
    SBtn[size_t(i)] = b;
  }
  SBtn[0]->setChecked(true);
  right->addLayout(lines);
  auto actionButton = [&](const char* name, const QString& caption, const QString& picture) {
    auto* b = new QPushButton(PictureIcon(picture, 16), caption);
    b->setObjectName(name);
    b->setFixedHeight(28);
    b->setFocusPolicy(Qt::NoFocus);
    right->addWidget(b);
    return b;
  };
  HoldBtn = actionButton("HoldBtn", "Espera", "hold");
  ConferenceBtn = actionButton("ConferenceBtn", "Conferencia", "conference");
  RecordBtn = actionButton("RecordBtn", "Grabar", "record");
  middle->addLayout(right, 1);
  root->addLayout(middle);

  auto* transferRow = new QHBoxLayout;
  TransferLabel = new QLabel("Transferir llamada :");
  TransferEdit = new QLineEdit;
  TransferEdit->setObjectName("TransferEdit");
  TransferEdit->setMaxLength(18);
  TransferBtn = GlyphButton("transfer", "Transferir");
  TransferBtn->setObjectName("TransferBtn");
  TransferBtn->setFixedSize(30, 24);
  TransferBtn->setIconSize(QSize(18, 18));
  transferRow->addWidget(TransferLabel);
  transferRow->addWidget(TransferEdit, 1);
  transferRow->addWidget(TransferBtn);
  root->addLayout(transferRow);

  auto* bottom = new QHBoxLayout;
  VolumeBox = new QGroupBox;
  auto* volume = new QGridLayout(VolumeBox);
  volume->setContentsMargins(6, 4, 6, 2);
  volume->setVerticalSpacing(0);
  auto* mic = new QLabel;
  mic->setPixmap(Picture("mic", 16));
  mic->setToolTip("Microfono");
  auto* speaker = new QLabel;
  speaker->setPixmap(Picture("speaker", 16));
  speaker->setToolTip("Volumen");
  tbVolMicrofono = VolumeSlider("Microfono");
  tbVolMicrofono->setObjectName("tbVolMicrofono");
  tbVolParlantes = VolumeSlider("Volumen");
  tbVolParlantes->setObjectName("tbVolParlantes");
  volume->addWidget(mic, 0, 0);
  volume->addWidget(tbVolMicrofono, 0, 1);
  volume->addWidget(speaker, 1, 0);
  volume->addWidget(tbVolParlantes, 1, 1);
  bottom->addWidget(VolumeBox, 1);
  btnConectar = new QPushButton(PictureIcon("connect", 18), "Conectarse");
  btnConectar->setObjectName("btnConectar");
  btnConectar->setIconSize(QSize(18, 18));
  btnConectar->setFixedSize(112, 40);
  btnConectar->setFocusPolicy(Qt::NoFocus);
  bottom->addWidget(btnConectar, 0, Qt::AlignVCenter);
  root->addLayout(bottom);
  root->addStretch(1);

  for (int i = 1; i <= 6; ++i) SetLamp(i, false);
}

void TDialFrm::SetLamp(int line, bool lit) {
  SBtn[size_t(line - 1)]->setIcon(QIcon(StatusImage(lit ? siLampLit : siLampOff, 14)));
}

bool TDialFrm::eventFilter(QObject* watched, QEvent* event) {
  // The line display is never a place to type: the focus goes on to the number.
  if (watched == LineMemo && event->type() == QEvent::FocusIn) PhoneEdit->setFocus();
  return QWidget::eventFilter(watched, event);
}

}  // namespace qv
