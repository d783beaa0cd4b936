// TAudioFrm: the audio settings frame. Three pick-only lists of sound
// devices, "Default" first (device -1) and then the devices' names in
// device-number order: the microphone and the speaker for calls, and the
// device the ring tone plays on.
#pragma once

#include <QString>
#include <QWidget>
#include <string>
#include <vector>

class QComboBox;

namespace qv {

class TAudioFrm : public QWidget {
  Q_OBJECT
public:
  explicit TAudioFrm(QWidget* parent = nullptr);

  QComboBox* waveInDevice;    // input devices
  QComboBox* waveOutDevice;   // output devices
  QComboBox* waveRingDevice;  // output devices

  // Fills the three lists from the sound-device layer and selects "Default".
  void FillLists();
  void FillLists(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

  // Device numbers of the chosen items (found again by name; -1 for
  // "Default" and for a name no device has any more).
  int InputDevice() const;
  int OutputDevice() const;
  int RingDevice() const;

  // Selects the first item whose text, trimmed, equals `name` trimmed; with
  // no such item the list keeps its choice.
  static void Restore(QComboBox* list, const QString& name);
};

}  // namespace qv
