#include "app/metrics.h"

#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace qv {

int ButtonWidthFor(const QPushButton* button, const QStringList& captions, bool withIcon) {
  QFontMetrics fm(button->font());
  int text = 0;
  for (const QString& c : captions) text = std::max(text, fm.size(Qt::TextShowMnemonic, c).width());
  int icon = button->icon().isNull() || !withIcon ? 0 : button->iconSize().width() + 4;
  QStyleOptionButton option;
  option.initFrom(button);
  int margin = 2 * (button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button) +
                    button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button));
  return text + icon + margin;
}

void ShrinkToText(QPushButton* button, const QStringList& captions) {
  button->setSizePolicy(QSizePolicy::Preferred, button->sizePolicy().verticalPolicy());
  button->setMinimumWidth(ButtonWidthFor(button, captions));
}

}  // namespace qv
