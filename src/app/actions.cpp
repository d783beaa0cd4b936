#include "app/actions.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace qv {

TActionList::TActionList(QObject* parent, std::function<void(const std::function<void()>&)> guard)
    : QObject(parent), guard_(std::move(guard)) {
  SetIdleUpdates(true);
}

TActionList::~TActionList() { SetIdleUpdates(false); }

void TActionList::SetIdleUpdates(bool on) {
  if (idle_) disconnect(idle_);
  idle_ = {};
  if (!on) return;
  if (auto* dispatcher = QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread()))
    idle_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { UpdateAll(); });
}

TAction& TActionList::Add(const QString& name, std::function<void(TAction&)> update,
                          std::function<void()> execute) {
  auto action = std::make_unique<TAction>();
  action->Name = name;
  action->Update = std::move(update);
  action->Execute = std::move(execute);
  actions_.push_back(std::move(action));
  return *actions_.back();
}

void TActionList::Bind(TAction& action, QAbstractButton* button, bool followCaption) {
  action.Bindings.push_back({button, followCaption});
  connect(button, &QAbstractButton::clicked, this, [this, &action] {
    if (action.Enabled && action.Execute) guard_(action.Execute);
  });
  Apply(action);
}

TAction* TActionList::Find(const QString& name) {
  for (auto& a : actions_)
    if (a->Name == name) return a.get();
  return nullptr;
}

void TActionList::Apply(TAction& action) {
  for (const TAction::TBinding& b : action.Bindings) {
    if (b.Button->isEnabled() != action.Enabled) b.Button->setEnabled(action.Enabled);
    if (b.FollowCaption && b.Button->text() != action.Caption) b.Button->setText(action.Caption);
  }
}

void TActionList::RunUpdate(TAction& action) {
  // An update rule only reads state; one that fails keeps the action as it
  // was rather than putting an error box up at every idle moment.
  try {
    if (action.Update) action.Update(action);
  } catch (...) {
  }
}

void TActionList::UpdateAll() {
  if (updating_) return;
  updating_ = true;
  for (auto& a : actions_) {
    RunUpdate(*a);
    Apply(*a);
  }
  updating_ = false;
}

void TActionList::ExecuteAction(TAction& action) {
  RunUpdate(action);
  Apply(action);
  if (action.Enabled && action.Execute) guard_(action.Execute);
}

}  // namespace qv
