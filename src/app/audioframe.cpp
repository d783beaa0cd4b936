#include "app/audioframe.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/audiodevice.h"

namespace qv {

namespace {

QComboBox* DeviceList(const char* name) {
  auto* list = new QComboBox;
  list->setObjectName(name);
  list->setEditable(false);  // pick-only: a typed name could match no device
  list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  list->setMinimumContentsLength(12);
  return list;
}

// One label width in both boxes, so the lists line up.
QLabel* Label(const char* text) {
  auto* label = new QLabel(text);
  label->setFixedWidth(80);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

void Fill(QComboBox* list, const std::vector<std::string>& names) {
  list->clear();
  list->addItem("Default", -1);
  for (const std::string& name : names) list->addItem(QString::fromStdString(name));
  list->setCurrentIndex(0);
}

int DeviceOf(const QComboBox* list, bool input) {
  int index = list->currentIndex();
  if (index < 0) return -1;
  QVariant number = list->itemData(index);
  if (number.isValid()) return number.toInt();
  return WaveDeviceByName(input, list->itemText(index).toStdString());
}

}  // namespace

TAudioFrm::TAudioFrm(QWidget* parent) : QWidget(parent) {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(8, 8, 8, 8);
  root->setSpacing(10);

  auto* calls = new QGroupBox("Configuracion de llamadas");
  auto* callsForm = new QFormLayout(calls);
  waveInDevice = DeviceList("waveInDevice");
  waveOutDevice = DeviceList("waveOutDevice");
  callsForm->addRow(Label("Microfono :"), waveInDevice);
  callsForm->addRow(Label("Parlantes :"), waveOutDevice);
  root->addWidget(calls);

  auto* ring = new QGroupBox("Configuracion de timbrado");
  auto* ringForm = new QFormLayout(ring);
  waveRingDevice = DeviceList("waveRingDevice");
  ringForm->addRow(Label("Timbre :"), waveRingDevice);
  root->addWidget(ring);
  root->addStretch(1);

  FillLists({}, {});
}

void TAudioFrm::FillLists() {
  std::vector<std::string> inputs, outputs;
  try {
    inputs = WaveInDeviceNames();
    outputs = WaveOutDeviceNames();
  } catch (...) {
    // No sound system: "Default" alone, and calls use the default device.
  }
  FillLists(inputs, outputs);
}

void TAudioFrm::FillLists(const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs) {
  Fill(waveInDevice, inputs);
  Fill(waveOutDevice, outputs);
  Fill(waveRingDevice, outputs);
}

int TAudioFrm::InputDevice() const { return DeviceOf(waveInDevice, true); }
int TAudioFrm::OutputDevice() const { return DeviceOf(waveOutDevice, false); }
int TAudioFrm::RingDevice() const { return DeviceOf(waveRingDevice, false); }

void TAudioFrm::Restore(QComboBox* list, const QString& name) {
  QString wanted = name.trimmed();
  for (int i = 0; i < list->count(); ++i) {
    if (list->itemText(i).trimmed() == wanted) {
      list->setCurrentIndex(i);
      return;
    }
  }
}

}  // namespace qv
