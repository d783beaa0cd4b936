// The keyboard on the dial pad: Enter dials (or answers the ringing line),
// Escape hangs up, and digits, "*" and "#" are sent as DTMF while the current
// line's call is connected; otherwise they go into the number field. The
// transfer field keeps its digits (a number is typed there) and Enter in it
// transfers. The keypad shows every key typed.
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include "app/actions.h"
#include "app/dialframe.h"
#include "app/mainframe.h"

namespace qv {

namespace {

// The keypad tag of a typed character; -1 for none.
int KeypadTag(const QString& text) {
  if (text.size() != 1) return -1;
  QChar c = text[0];
  if (c >= '0' && c <= '9') return c.digitValue();
  if (c == '*') return 10;
  if (c == '#') return 11;
  return -1;
}

}  // namespace

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, event);
  auto* widget = qobject_cast<QWidget*>(watched);
  // Only keys meant for this window's dial pad, and not those of a dialog
  // or menu it opened.
  if (!widget || widget->window() != this || !dialFrm_->isVisible() || QApplication::activeModalWidget() ||
      QApplication::activePopupWidget())
    return false;
  // The receiver: the focus widget, or the window when nothing has the focus.
  return HandleKey(*static_cast<QKeyEvent*>(event), widget);
}

bool TMainForm::HandleKey(QKeyEvent& key, QWidget* focus) {
  if (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  const bool inTransfer = focus == dialFrm_->TransferEdit;
  switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      actions_->ExecuteAction(*Action(inTransfer ? "TransferAction" : "CallAction"));
      return true;
    case Qt::Key_Escape:
      actions_->ExecuteAction(*Action("HangUpAction"));
      return true;
    default:
      break;
  }
  int tag = KeypadTag(key.text());
  if (tag < 0 || inTransfer) return false;
  ISipCallPtr call = CurrentCall();
  bool connected = call && call->GetState() == csConnected;
  // A held key would send its digit over and over.
  if (key.isAutoRepeat() && connected) return true;
  dialFrm_->FlashKey(tag);
  // Typed into the number field, the digit goes where the cursor is.
  if (!connected && focus == dialFrm_->PhoneEdit) return false;
  Guard([&] { KeypadPress(tag); });
  return true;
}

}  // namespace qv
