// The application's error box, and the guard that brings every exception
// raised under an event handler to it: the program shows the text and goes
// on, it never ends on an error of the user agent or of the settings file.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace qv {

extern const char* const kAppTitle;  // "Quorvelle"

// A modal box with the error icon, the application title and an OK button.
void ShowErrorBox(QWidget* parent, const QString& text);

// Runs `handler`; an exception it raises is shown in the error box.
void RunGuarded(QWidget* parent, const std::function<void()>& handler);

}  // namespace qv
