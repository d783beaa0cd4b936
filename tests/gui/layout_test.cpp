// gui_layout: the window at the fonts and scales of real desktops (9 to
// 12 pt here; scale 1.5, 2 and 120 dpi as separate runs of the program
// through QT_SCALE_FACTOR and QT_FONT_DPI): no control cuts its text, the
// pictures are drawn for the screen's pixel ratio, and a dark theme keeps
// text and pictures readable.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolButton>

#include "app/accountsframe.h"
#include "app/inifile.h"
#include "app/dialframe.h"
#include "app/pictures.h"
#include "app/regform.h"
#include "app/sipclientmain.h"
#include "app/statusbar.h"
#include "support/clipping.h"
#include "support/netns.h"
#include "support/rig.h"
#include "support/theme.h"

using namespace qv;
using namespace qv::test;

namespace {

QString Described(const QStringList& clipped) { return "cut text: " + clipped.join(" | "); }

}  // namespace

class TLayoutTest : public QObject {
  Q_OBJECT
  QFont base_;

private slots:
  void initTestCase() {
    SetUpApplication(*qApp);
    base_ = QApplication::font();
  }
  void cleanup() {
    QApplication::setFont(base_);
    QApplication::setPalette(QApplication::style()->standardPalette());
  }

  void noControlCutsItsText_data() {
    QTest::addColumn<int>("points");
    for (int points : {9, 10, 11, 12}) QTest::addRow("%d pt", points) << points;
  }

  // The three frames and the account dialog, with the longest texts each
  // control can be given.
  void noControlCutsItsText() {
    QFETCH(int, points);
    QFont font = base_;
    font.setPointSize(points);
    QApplication::setFont(font);
    TRig rig;
    rig.WriteIni(rig.AccountIni() + "[ACCOUNT2]\nServer=nohost.invalid\nUser=200\n");
    TIniFile(rig.Ini).WriteInteger("ACCOUNT", "Count", 2);
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    QVERIFY2(ClippedControls(&form).isEmpty(), qPrintable(Described(ClippedControls(&form))));
    if (points == 9 && qFuzzyCompare(form.devicePixelRatioF(), 1.0) && form.logicalDpiY() == 96)
      QCOMPARE(form.size(), QSize(332, 438));  // the design's size at the design's font

    // A ringing line fills the line display; every caption an action button
    // takes must fit.
    ISipCallPtr far = rig.Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    form.RefreshLines();
    TDialFrm& d = *form.DialFrm();
    struct TCaption {
      QPushButton* Button;
      const char* Text;
    } captions[] = {{d.HoldBtn, "Atender"},
                    {d.ConferenceBtn, "Detener confe."},
                    {d.RecordBtn, "Guardar archivo de audio"},
                    {d.btnConectar, "Desconectarse"}};
    d.SetRecording(true);
    for (const TCaption& c : captions) c.Button->setText(c.Text);
    QVERIFY2(ClippedControls(&form).isEmpty(), qPrintable(Described(ClippedControls(&form))));
    d.SetRecording(false);
    form.UpdateActions();

    // The accounts, with the longest of the status bar's own texts.
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(1));
    QVERIFY(rig.Click(form.AccountsFrm()->SelectBtn));
    QCOMPARE(form.StatusText(), QString("Fuera de linea: servidor desconocido"));
    QVERIFY2(ClippedControls(&form).isEmpty(), qPrintable(Described(ClippedControls(&form))));

    form.ShowFrame(2);
    QVERIFY2(ClippedControls(&form).isEmpty(), qPrintable(Described(ClippedControls(&form))));

    form.ShowFrame(1);
    QStringList dialogClipped;
    bool seen = false;
    rig.Watcher.OnDialog = [&](QDialog* dialog) {
      seen = true;
      dialogClipped = ClippedControls(dialog);
      dialog->reject();
    };
    QVERIFY(rig.Click(form.AccountsFrm()->EditBtn));
    QVERIFY(seen);
    QVERIFY2(dialogClipped.isEmpty(), qPrintable(Described(dialogClipped)));
  }

  // At any pixel ratio the pictures come from the SVG at that ratio, not
  // from a small bitmap blown up.
  void picturesAreDrawnForThePixelRatio() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    qreal ratio = form.devicePixelRatioF();
    TPictureLabel* mic = form.DialFrm()->MicPicture;
    QImage shot = mic->grab().toImage();
    QCOMPARE(shot.size(), mic->size() * ratio);
    QImage svg = Picture("mic", mic->sizeHint().width(), ratio).toImage().convertToFormat(QImage::Format_ARGB32);
    svg.setDevicePixelRatio(1);  // compared pixel for pixel
    // The label's centre holds the picture pixel for pixel.
    QRect square(QPoint(0, 0), svg.size());
    square.moveCenter(QRect(QPoint(0, 0), shot.size()).center());
    QImage drawn = shot.copy(square).convertToFormat(QImage::Format_ARGB32);
    QImage behind(svg.size(), QImage::Format_ARGB32);
    behind.fill(mic->palette().color(QPalette::Window));
    {
      QPainter p(&behind);
      p.drawImage(0, 0, svg);
    }
    int off = 0;
    for (int y = 0; y < drawn.height(); ++y)
      for (int x = 0; x < drawn.width(); ++x)
        if (qAbs(qGray(drawn.pixel(x, y)) - qGray(behind.pixel(x, y))) > 16) ++off;
    QVERIFY2(off < drawn.width() * drawn.height() / 50, qPrintable(QString("%1 pixels differ").arg(off)));

    // The lamp and the status picture as the widgets ask for them.
    QPixmap lamp = form.DialFrm()->SBtn[0]->icon().pixmap(QSize(14, 14), ratio);
    QCOMPARE(lamp.size(), QSize(14, 14) * ratio);
  }

  // Dark theme: the status text and the line-art pictures take the palette's
  // light text colour instead of vanishing into the dark.
  void darkThemeStaysReadable() {
    QApplication::setPalette(DarkPalette());
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QColor window = DarkPalette().color(QPalette::Window);
    QImage status = form.StatusLine()->Panel(0)->grab().toImage();
    QVERIFY2(InkContrast(status, window) > 120, "the status text vanishes");
    for (const char* picture : {"mic", "speaker", "connect"}) {
      QImage image = Picture(picture, 24).toImage();
      QVERIFY2(InkContrast(image, window) > 120, picture);
    }
    // The transfer field, greyed while no call is up, stays dark.
    QLineEdit* transfer = form.DialFrm()->TransferEdit;
    form.UpdateActions();
    QVERIFY(transfer->palette().color(QPalette::Base).lightness() < 100);
  }
};

int main(int argc, char** argv) {
  if (!qv::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: test not run\n");
    return 1;
  }
  QApplication app(argc, argv);
  TLayoutTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "layout_test.moc"
