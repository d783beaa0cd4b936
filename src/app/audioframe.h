// TAudioFrm: the audio settings frame. Three pick-only lists of sound
// devices, "Default" first (device -1) and then the devices' names in
// device-number order: the microphone and the speaker for calls, and the
// device the ring tone plays on.
//
// The virtual devices never pass for sound cards: asked for
// (QUORVELLE_AUDIO=virtual) they are listed as "Entrada virtual N" and
// "Salida virtual N"; taken because no sound card was found, the lists hold
// "Default" and "Sin dispositivo de audio (virtual)" only. A stored choice
// made under the sound layer's own name ("Virtual Out 3") still finds its
// device.
//
// Threads: GUI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <string>
#include <vector>

class QComboBox;
class QLabel;

namespace qv {

class TAudioFrm : public QWidget {
  Q_OBJECT
public:
  explicit TAudioFrm(QWidget* parent = nullptr);

  QComboBox* waveInDevice;    // input devices
  QComboBox* waveOutDevice;   // output devices
  QComboBox* waveRingDevice;  // output devices

  static const char* const kNoDeviceText;  // "Sin dispositivo de audio (virtual)"

  // An entry of a list: its text, its device number (-2: found again by
  // name), and the sound layer's name for it when the text is another.
  struct TDeviceItem {
    QString Text;
    int Device = -2;
    QString Alias;
  };

  // Fills the three lists from the sound-device layer and selects "Default".
  void FillLists();
  void FillLists(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);
  void FillLists(const std::vector<TDeviceItem>& inputs, const std::vector<TDeviceItem>& outputs);
  // Whether the last FillLists found no sound card (the virtual devices stand in).
  bool NoSoundCard() const { return fallback_; }

  // Device numbers of the chosen items (found again by name; -1 for
  // "Default" and for a name no device has any more).
  int InputDevice() const;
  int OutputDevice() const;
  int RingDevice() const;

  // Selects the first item whose text, trimmed, equals `name` trimmed; with
  // no such item the list keeps its choice.
  static void Restore(QComboBox* list, const QString& name);

protected:
  void changeEvent(QEvent* event) override;

private:
  void ApplyMetrics();
  bool fallback_ = false;
  std::array<QLabel*, 3> labels_{};
};

}  // namespace qv
