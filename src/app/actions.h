// A small action list: each action has an update rule, run whenever the
// application is idle (just before the event loop would wait), and an
// execute handler; the buttons bound to an action follow its enabled state
// and, when asked, its caption.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QAbstractButton;

namespace qv {

struct TAction {
  QString Name;
  QString Caption;
  bool Enabled = true;
  std::function<void(TAction&)> Update;
  std::function<void()> Execute;

  struct TBinding {
    QAbstractButton* Button;
    bool FollowCaption;
  };
  std::vector<TBinding> Bindings;
};

class TActionList : public QObject {
  Q_OBJECT
public:
  // `guard` wraps every execute handler (the window shows errors with it).
  explicit TActionList(QObject* parent, std::function<void(const std::function<void()>&)> guard);
  ~TActionList() override;

  TAction& Add(const QString& name, std::function<void(TAction&)> update,
               std::function<void()> execute);
  // The button's click executes the action; it follows the enabled state and,
  // when `followCaption`, the caption.
  void Bind(TAction& action, QAbstractButton* button, bool followCaption = false);
  TAction* Find(const QString& name);

  // Runs every update rule and applies the results to the bound buttons.
  void UpdateAll();
  // Runs the action's update rule, then its handler when it is enabled.
  void ExecuteAction(TAction& action);

  // Updates on every idle moment of the event loop (on by default).
  void SetIdleUpdates(bool on);

private:
  void Apply(TAction& action);
  void RunUpdate(TAction& action);

  std::function<void(const std::function<void()>&)> guard_;
  std::vector<std::unique_ptr<TAction>> actions_;
  QMetaObject::Connection idle_;
  bool updating_ = false;
};

}  // namespace qv
