#include "app/dialframe.h"

#include <QEvent>
#include <algorithm>
#include <cmath>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/metrics.h"
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
  b->setIcon(PictureIcon(picture));
  b->setToolTip(hint);
  b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
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
  LineMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LineMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LineMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  LineMemo->setStyleSheet("QPlainTextEdit { background: black; color: white; }");
  LineMemo->installEventFilter(this);
  root->addWidget(LineMemo);

  auto* phoneRow = new QHBoxLayout;
  PhoneEdit = new QLineEdit("101");
  PhoneEdit->setObjectName("PhoneEdit");
  PhoneEdit->setMaxLength(18);
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
  for (int i = 0; i < 12; ++i) {
    auto* key = new QPushButton(kCaptions[i]);
    key->setObjectName(QStringLiteral("Key%1").arg(kTags[i]));
    key->setProperty("tag", kTags[i]);
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
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    b->setFocusPolicy(Qt::NoFocus);
    lines->addWidget(b, i / 3, i % 3);
    SBtn[size_t(i)] = b;
  }
  SBtn[0]->setChecked(true);
  right->addLayout(lines);
  auto actionButton = [&](const char* name, const QString& caption, const QString& picture) {
    auto* b = new QPushButton(PictureIcon(picture), caption);
    b->setObjectName(name);
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
  transferRow->addWidget(TransferLabel);
  transferRow->addWidget(TransferEdit, 1);
  transferRow->addWidget(TransferBtn);
  root->addLayout(transferRow);

  auto* bottom = new QHBoxLayout;
  VolumeBox = new QGroupBox;
  auto* volume = new QGridLayout(VolumeBox);
  volume->setContentsMargins(6, 4, 6, 2);
  volume->setVerticalSpacing(0);
  MicPicture = new TPictureLabel("mic", 16);
  MicPicture->setToolTip("Microfono");
  SpeakerPicture = new TPictureLabel("speaker", 16);
  SpeakerPicture->setToolTip("Volumen");
  tbVolMicrofono = VolumeSlider("Microfono");
  tbVolMicrofono->setObjectName("tbVolMicrofono");
  tbVolParlantes = VolumeSlider("Volumen");
  tbVolParlantes->setObjectName("tbVolParlantes");
  volume->addWidget(MicPicture, 0, 0);
  volume->addWidget(tbVolMicrofono, 0, 1);
  volume->addWidget(SpeakerPicture, 1, 0);
  volume->addWidget(tbVolParlantes, 1, 1);
  bottom->addWidget(VolumeBox, 1);
  btnConectar = new QPushButton(PictureIcon("connect"), "Conectarse");
  btnConectar->setObjectName("btnConectar");
  btnConectar->setFocusPolicy(Qt::NoFocus);
  bottom->addWidget(btnConectar, 0, Qt::AlignVCenter);
  root->addLayout(bottom);
  root->addStretch(1);

  for (int i = 1; i <= 6; ++i) SetLamp(i, false);
  ApplyMetrics();
}

void TDialFrm::ApplyMetrics() {
  const QFont base = font();
  QFont memoFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (base.pointSizeF() > 0) memoFont.setPointSizeF(base.pointSizeF());
  LineMemo->setFont(memoFont);
  // Room for the four lines of a ringing line with received digits, and for
  // the widest header line.
  QFontMetrics memo(memoFont);
  int frame = 2 * LineMemo->frameWidth() + 2 * int(std::ceil(LineMemo->document()->documentMargin()));
  LineMemo->setFixedHeight(std::max(Scaled(this, 82), 4 * memo.lineSpacing() + frame + 4));
  LineMemo->setMinimumWidth(memo.horizontalAdvance("[ LINEA 6 de 6 ] Llamada Saliente") + frame + 4);

  QFont phoneFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  phoneFont.setBold(true);
  phoneFont.setPointSizeF(std::max(1.0, base.pointSizeF()) * 13.0 / 9.0);
  PhoneEdit->setFont(phoneFont);

  const int glyph = Scaled(this, 22);
  for (QToolButton* b : {CallBtn, HangUpBtn}) {
    b->setIconSize(QSize(glyph, glyph));
    b->setMinimumSize(Scaled(this, 34), Scaled(this, 30));
  }
  TransferBtn->setIconSize(QSize(Scaled(this, 18), Scaled(this, 18)));
  TransferBtn->setMinimumWidth(Scaled(this, 30));

  QFont keyFont = Enlarged(base, 11.0 / 9.0);
  keyFont.setBold(true);
  QFontMetrics keys(keyFont);
  for (QPushButton* key : Keys) {
    key->setFont(keyFont);
    int width = std::max(Scaled(this, 44), ButtonWidthFor(key, {"#", "*", "0"}));
    int height = std::max(Scaled(this, 32), keys.height() + 12);
    key->setFixedSize(width, height);
  }

  const int lamp = Scaled(this, 14);
  for (QToolButton* b : SBtn) {
    b->setIconSize(QSize(lamp, lamp));
    b->setFixedHeight(std::max(Scaled(this, 28), b->sizeHint().height()));
  }
  const int small = Scaled(this, 16);
  const QStringList captions[3] = {{"Espera", "Atender"}, {"Conferencia", "Detener confe."}, {"Grabar"}};
  QPushButton* actions[3] = {HoldBtn, ConferenceBtn, RecordBtn};
  for (int i = 0; i < 3; ++i) {
    actions[i]->setIconSize(QSize(small, small));
    actions[i]->setMinimumWidth(ButtonWidthFor(actions[i], captions[i]));
    actions[i]->setFixedHeight(std::max(Scaled(this, 28), actions[i]->sizeHint().height()));
  }
  // "Guardar archivo de audio" goes without the picture (SetRecording), so
  // that it fits the window's width at the design's font.
  RecordBtn->setMinimumWidth(std::max(RecordBtn->minimumWidth(),
                                      ButtonWidthFor(RecordBtn, {"Guardar archivo de audio"}, false)));

  MicPicture->SetSize(small);
  SpeakerPicture->SetSize(small);
  const int connect = Scaled(this, 18);
  btnConectar->setIconSize(QSize(connect, connect));
  btnConectar->setMinimumSize(std::max(Scaled(this, 112), ButtonWidthFor(btnConectar, {"Conectarse", "Desconectarse"})),
                              Scaled(this, 40));
  updateGeometry();
}

void TDialFrm::SetLamp(int line, bool lit) {
  SBtn[size_t(line - 1)]->setIcon(StatusIcon(lit ? siLampLit : siLampOff));
}

void TDialFrm::SetRecording(bool recording) {
  if (RecordBtn->icon().isNull() == recording) return;
  RecordBtn->setIcon(recording ? QIcon() : PictureIcon("record"));
}

void TDialFrm::FlashKey(int tag) {
  for (QPushButton* key : Keys) {
    if (key->property("tag").toInt() != tag) continue;
    key->setDown(true);
    QTimer::singleShot(150, key, [key] { key->setDown(false); });
  }
}

void TDialFrm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) ApplyMetrics();
}

bool TDialFrm::eventFilter(QObject* watched, QEvent* event) {
  // The line display is never a place to type: the focus goes on to the number.
  if (watched == LineMemo && event->type() == QEvent::FocusIn) PhoneEdit->setFocus();
  return QWidget::eventFilter(watched, event);
}

}  // namespace qv
