// Every text the program has shown during a test run: widget texts, hints,
// titles, list items and headers, menu items, the line display's lines, the
// status bar's text, the balloon tip and the message boxes. The Spanish-text
// test checks its list against what was gathered here.
#pragma once

#include <QSet>
#include <QString>

namespace qv::test {

void HarvestTexts();                 // all live widgets of the application
void NoteText(const QString& text);  // one text (split into lines too)
const QSet<QString>& SeenTexts();

}  // namespace qv::test
