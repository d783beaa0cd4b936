// TDialFrm: the dial pad frame of the main window. It only lays its
// controls out; the main window binds them (mainframe_calls.cpp).
#pragma once

#include <QWidget>
#include <array>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QToolButton;

namespace qv {

class TPictureLabel;

class TDialFrm : public QWidget {
  Q_OBJECT
public:
  explicit TDialFrm(QWidget* parent = nullptr);

  QPlainTextEdit* LineMemo;   // read-only, white on black; passes the focus on to PhoneEdit
  QLineEdit* PhoneEdit;       // at most 18 characters, "101" at first
  QToolButton* CallBtn;
  QToolButton* HangUpBtn;
  // Captions "1".."9", "*", "0", "#"; the property "tag" holds 1..9, 10, 0, 11.
  std::array<QPushButton*, 12> Keys;
  // SBtn[0..5] are SBtn1..SBtn6: hints "Linea 1".."Linea 6", tags 1..6, one group.
  std::array<QToolButton*, 6> SBtn;
  QLabel* TransferLabel;
  QLineEdit* TransferEdit;    // at most 18 characters
  QToolButton* TransferBtn;
  QPushButton* HoldBtn;
  QPushButton* ConferenceBtn;
  QPushButton* RecordBtn;
  QGroupBox* VolumeBox;
  TPictureLabel* MicPicture;      // hint "Microfono"
  TPictureLabel* SpeakerPicture;  // hint "Volumen"
  QSlider* tbVolMicrofono;
  QSlider* tbVolParlantes;
  QPushButton* btnConectar;

  // The line button's glyph: the lamp picture, lit or not.
  void SetLamp(int line, bool lit);

  // While a recording runs the record button reads "Guardar archivo de
  // audio" and has no room for its picture.
  void SetRecording(bool recording);

  // Shows the keypad key with that tag pressed for a moment (a digit typed
  // on the keyboard).
  void FlashKey(int tag);

  // Sizes and fonts that follow the frame's font (metrics.h); run again
  // whenever that font changes.
  void ApplyMetrics();

protected:
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace qv
