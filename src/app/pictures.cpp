#include "app/pictures.h"

#include <QApplication>
#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

namespace qv {

namespace {

QByteArray SvgText(const QString& name) {
  QFile file(QStringLiteral(":/pictures/%1.svg").arg(name));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The colour "currentColor" stands for: the palette's text on a dark theme,
// where a dark ink would vanish, and the picture's own ink otherwise.
QColor InkColour(const QByteArray& svg) {
  const QPalette palette = QGuiApplication::palette();
  if (IsDarkPalette(palette)) return palette.color(QPalette::WindowText);
  static const QRegularExpression own(QStringLiteral("<svg[^>]*\\scolor=\"([^\"]+)\""));
  QRegularExpressionMatch m = own.match(QString::fromUtf8(svg));
  QColor colour = m.hasMatch() ? QColor(m.captured(1)) : QColor();
  return colour.isValid() ? colour : palette.color(QPalette::WindowText);
}

QPixmap Render(const QByteArray& svg, const QSize& pixels) {
  QPixmap pixmap(pixels);
  pixmap.fill(Qt::transparent);
  QByteArray text = svg;
  if (text.contains("currentColor")) text.replace("currentColor", InkColour(svg).name().toLatin1());
  QSvgRenderer renderer(text);
  if (renderer.isValid()) {
    QPainter painter(&pixmap);
    renderer.render(&painter);
  }
  return pixmap;
}

class TSvgIconEngine : public QIconEngine {
public:
  // `greyed`: every mode draws as disabled (the offline status picture).
  TSvgIconEngine(QString name, QByteArray svg, bool greyed = false)
      : name_(std::move(name)), svg_(std::move(svg)), greyed_(greyed) {}

  QIconEngine* clone() const override { return new TSvgIconEngine(name_, svg_, greyed_); }
  QString key() const override { return QStringLiteral("qv-svg"); }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  bool isNull() override { return svg_.isEmpty(); }
  QString iconName() override { return name_; }

  // QIcon asks for size x device pixel ratio here and marks the ratio itself.
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    if (size.isEmpty() || svg_.isEmpty()) return {};
    if (greyed_) mode = QIcon::Disabled;
    const QPalette palette = QGuiApplication::palette();
    QString key = QStringLiteral("qv-svg:%1:%2x%3:%4:%5")
                      .arg(name_)
                      .arg(size.width())
                      .arg(size.height())
                      .arg(int(mode))
                      .arg(palette.color(QPalette::WindowText).rgba() ^ palette.color(QPalette::Window).rgba());
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap)) return pixmap;
    pixmap = Render(svg_, size);
    if (mode == QIcon::Disabled) {
      QStyleOption option;
      option.palette = palette;
      pixmap = QApplication::style()->generatedIconPixmap(QIcon::Disabled, pixmap, &option);
    }
    QPixmapCache::insert(key, pixmap);
    return pixmap;
  }

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap p = pixmap(rect.size() * ratio, mode, state);
    p.setDevicePixelRatio(ratio);
    painter->drawPixmap(rect, p);
  }

private:
  QString name_;
  QByteArray svg_;
  bool greyed_;
};

}  // namespace

bool IsDarkPalette(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

void PaintEditable(QLineEdit* edit, bool editable) {
  QPalette p = QApplication::palette(edit);
  QColor colour = p.color(QPalette::Active, editable ? QPalette::Base : QPalette::Button);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) p.setColor(group, QPalette::Base, colour);
  edit->setPalette(p);
}

QIcon PictureIcon(const QString& name) { return QIcon(new TSvgIconEngine(name, SvgText(name))); }

QPixmap Picture(const QString& name, int size, qreal ratio) {
  QPixmap pixmap = PictureIcon(name).pixmap(QSize(size, size), ratio);
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon StatusIcon(int index) {
  switch (index) {
    case siOnline:
      return PictureIcon("online");
    case siOffline:
      return QIcon(new TSvgIconEngine("online", SvgText("online"), true));
    case siLampOff:
      return PictureIcon("lamp_off");
    default:
      return PictureIcon("lamp_on");
  }
}

TPictureLabel::TPictureLabel(const QString& picture, int size, QWidget* parent)
    : QLabel(parent), icon_(PictureIcon(picture)), size_(size) {}

QSize TPictureLabel::sizeHint() const { return QSize(size_, size_); }

void TPictureLabel::SetSize(int size) {
  size_ = size;
  updateGeometry();
  update();
}

void TPictureLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRect square(0, 0, size_, size_);
  square.moveCenter(rect().center());
  icon_.paint(&painter, square, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
}

}  // namespace qv
