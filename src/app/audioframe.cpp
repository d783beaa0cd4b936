#include "app/audioframe.h"

#include <QComboBox>
#include <QEvent>
#include <algorithm>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "platform/audiodevice.h"

namespace qv {

const char* const TAudioFrm::kNoDeviceText = "Sin dispositivo de audio (virtual)";

namespace {

QComboBox* DeviceList(const char* name) {
  auto* list = new QComboBox;
  list->setObjectName(name);
  list->setEditable(false);  // pick-only: a typed name could match no device
  list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  list->setMinimumContentsLength(12);
  return list;
}

QLabel* Label(const char* text) {
  auto* label = new QLabel(text);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

// The name the sound layer gives a device, for a stored choice made when the
// list still showed it.
constexpr int kAliasRole = Qt::UserRole + 1;

void Fill(QComboBox* list, const std::vector<TAudioFrm::TDeviceItem>& items) {
  list->clear();
  list->addItem("Default", -1);
  for (const TAudioFrm::TDeviceItem& item : items) {
    list->addItem(item.Text, item.Device >= -1 ? QVariant(item.Device) : QVariant());
    if (!item.Alias.isEmpty()) list->setItemData(list->count() - 1, item.Alias, kAliasRole);
  }
  list->setCurrentIndex(0);
}

std::vector<TAudioFrm::TDeviceItem> Named(const std::vector<std::string>& names) {
  std::vector<TAudioFrm::TDeviceItem> items;
  for (const std::string& name : names) items.push_back({QString::fromStdString(name), -2, {}});
  return items;
}

// The virtual devices, under names that say what they are.
std::vector<TAudioFrm::TDeviceItem> Virtual(const std::vector<std::string>& names, const char* kind) {
  std::vector<TAudioFrm::TDeviceItem> items;
  for (size_t i = 0; i < names.size(); ++i)
    items.push_back({QStringLiteral("%1 virtual %2").arg(kind).arg(i), int(i), QString::fromStdString(names[i])});
  return items;
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
  labels_ = {Label("Microfono :"), Label("Parlantes :"), Label("Timbre :")};
  callsForm->addRow(labels_[0], waveInDevice);
  callsForm->addRow(labels_[1], waveOutDevice);
  root->addWidget(calls);

  auto* ring = new QGroupBox("Configuracion de timbrado");
  auto* ringForm = new QFormLayout(ring);
  waveRingDevice = DeviceList("waveRingDevice");
  ringForm->addRow(labels_[2], waveRingDevice);
  root->addWidget(ring);
  root->addStretch(1);

  FillLists(std::vector<std::string>{}, std::vector<std::string>{});
  ApplyMetrics();
}

void TAudioFrm::ApplyMetrics() {
  // One label width in both boxes, so that the lists line up.
  int width = 0;
  for (QLabel* label : labels_) width = std::max(width, label->fontMetrics().horizontalAdvance(label->text()));
  for (QLabel* label : labels_) label->setMinimumWidth(width + 2 * label->margin());
}

void TAudioFrm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) ApplyMetrics();
}

void TAudioFrm::FillLists() {
  std::vector<std::string> inputs, outputs;
  bool isVirtual = false, fallback = false;
  try {
    isVirtual = AudioBackend()->Name() == "virtual";
    fallback = AudioBackendIsFallback();
    inputs = WaveInDeviceNames();
    outputs = WaveOutDeviceNames();
  } catch (...) {
    // No sound system: "Default" alone, and calls use the default device.
  }
  fallback_ = fallback;
  if (fallback) {
    // No sound card: one honest entry instead of eight devices that look
    // real and are silent.
    std::vector<TDeviceItem> none = {{kNoDeviceText, 0, {}}};
    FillLists(none, none);
  } else if (isVirtual) {
    FillLists(Virtual(inputs, "Entrada"), Virtual(outputs, "Salida"));
  } else {
    FillLists(inputs, outputs);
  }
}

void TAudioFrm::FillLists(const std::vector<std::string>& inputs,
                          const std::vector<std::string>& outputs) {
  FillLists(Named(inputs), Named(outputs));
}

void TAudioFrm::FillLists(const std::vector<TDeviceItem>& inputs, const std::vector<TDeviceItem>& outputs) {
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
    if (list->itemText(i).trimmed() == wanted || list->itemData(i, kAliasRole).toString() == wanted) {
      list->setCurrentIndex(i);
      return;
    }
  }
}

}  // namespace qv
