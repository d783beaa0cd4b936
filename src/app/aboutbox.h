// The About box, opened by "Acerca de...": the program's name, version and
// credits.
#pragma once

#include <QDialog>

namespace qv {

extern const char* const kVersionText;  // "v0.9.3 build 254"
extern const char* const kCaption;      // "Quorvelle v0.9.3 build 254"

class TAboutBox : public QDialog {
  Q_OBJECT
public:
  explicit TAboutBox(QWidget* parent = nullptr);
};

}  // namespace qv
