// Pictures of the three frames and of the account dialog, taken from a real
// X server (the test runs under xvfb-run) into <build>/screenshots/<look>/,
// one run per look: QV_SHOT_LOOK = 9pt (the design's font), 12pt, dark (a
// dark theme at 11 pt) or scale2 (QT_SCALE_FACTOR=2 at 9 pt).
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app/accountsframe.h"
#include "app/dialframe.h"
#include "app/inifile.h"
#include "app/regform.h"
#include "app/sipclientmain.h"
#include "support/clipping.h"
#include "support/rig.h"
#include "support/testmain.h"
#include "support/theme.h"

using namespace qv;
using namespace qv::test;

namespace {

QString Look() {
  QString look = qEnvironmentVariable("QV_SHOT_LOOK");
  return look.isEmpty() ? QStringLiteral("9pt") : look;
}

QString Folder() {
  QString dir = QStringLiteral(QV_BINARY_DIR "/screenshots/") + Look();
  QDir().mkpath(dir);
  return dir;
}

bool Save(QWidget* window, const QString& name) {
  QTest::qWait(200);  // let the X server paint
  QPixmap shot = window->screen()->grabWindow(window->winId());
  return !shot.isNull() && shot.save(Folder() + "/" + name);
}

// The window and what stands over it (a balloon), from the screen itself.
bool SaveWithSurroundings(QWidget* window, const QString& name) {
  QTest::qWait(200);
  QRect area = window->frameGeometry().adjusted(-120, -20, 120, 160);
  area = area.intersected(window->screen()->geometry());
  QPixmap shot = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  return !shot.isNull() && shot.save(Folder() + "/" + name);
}

// The flags of the window's WM_HINTS as the X server has them.
int WmHintFlags(QWidget* window) {
  QProcess xprop;
  xprop.start("xprop", {"-id", QString::number(window->winId()), "-notype", "-f", "WM_HINTS", "32i", " $0\n",
                        "WM_HINTS"});
  if (!xprop.waitForFinished(5000)) return -1;
  QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
  return out.section(' ', -1).toInt();
}

}  // namespace

class TScreenshots : public QObject {
  Q_OBJECT
  std::unique_ptr<TRig> rig_;
  ISipCallPtr far_;

  void NotClipped(QWidget* window) {
    QStringList cut = ClippedControls(window);
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(" | ")));
  }

private slots:
  void initTestCase() {
    QVERIFY2(QGuiApplication::platformName() == "xcb", "run under xvfb-run with QT_QPA_PLATFORM=xcb");
    SetUpApplication(*qApp);
    QFont font = QApplication::font();
    font.setPointSize(Look() == "12pt" ? 12 : Look() == "dark" ? 11 : 9);
    QApplication::setFont(font);
    if (Look() == "dark") QApplication::setPalette(DarkPalette());
    rig_ = std::make_unique<TRig>();
    rig_->WriteIni(rig_->AccountIni() + "[ACCOUNT2]\nServer=pbx.example\nUser=200\n");
    TIniFile(rig_->Ini).WriteInteger("ACCOUNT", "Count", 2);
    rig_->Start();
    QVERIFY(QTest::qWaitForWindowExposed(rig_->Form.get()));
    QTRY_VERIFY(rig_->Form->Online());
  }

  // What the X server shows as the caption is the caption, nothing appended.
  void captionOnTheScreen() {
    QCOMPARE(QApplication::applicationName(), QString("Quorvelle"));
    QProcess xprop;
    xprop.start("xprop", {"-id", QString::number(rig_->Form->winId()), "_NET_WM_NAME", "WM_CLASS"});
    if (!xprop.waitForFinished(5000) || xprop.exitCode() != 0) QSKIP("xprop is not available");
    QString out = QString::fromUtf8(xprop.readAllStandardOutput());
    QVERIFY2(out.contains("_NET_WM_NAME(UTF8_STRING) = \"Quorvelle v0.9.3 build 254\""), qPrintable(out));
    QVERIFY2(out.contains("\"Quorvelle\""), qPrintable(out));  // the window class
  }

  void dialPad() {
    TMainForm& form = *rig_->Form;
    far_ = rig_->Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    form.RefreshLines();
    form.DialFrm()->PhoneEdit->setText("101");
    form.UpdateActions();
    NotClipped(&form);
    QVERIFY(Save(&form, "dialpad-ringing.png"));
    QVERIFY(rig_->Click(form.DialFrm()->CallBtn));
    form.RefreshLines();
    form.DialFrm()->PhoneEdit->setText("2045");
    QVERIFY(rig_->Click(form.DialFrm()->RecordBtn));  // "Guardar archivo de audio"
    form.UpdateActions();
    NotClipped(&form);
    QVERIFY(Save(&form, "dialpad.png"));
  }

  void accounts() {
    TMainForm& form = *rig_->Form;
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(1));
    form.UpdateActions();
    NotClipped(&form);
    QVERIFY(Save(&form, "accounts.png"));
  }

  void audio() {
    TMainForm& form = *rig_->Form;
    form.ShowFrame(2);
    NotClipped(&form);
    QVERIFY(Save(&form, "audio.png"));
  }

  void accountDialog() {
    TMainForm& form = *rig_->Form;
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(0));
    bool saved = false;
    rig_->Watcher.OnDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<TRegistrationForm*>(d);
      dialog->ProxyEdit->setText("proxy.example");
      QVERIFY(QTest::qWaitForWindowExposed(dialog));
      NotClipped(dialog);
      saved = Save(dialog, "account-dialog.png");
      dialog->STUNEdit->setText("stun.example");
      dialog->StunBox->click();
      saved = saved && Save(dialog, "account-dialog-stun.png");
      dialog->reject();
    };
    QVERIFY(rig_->Click(form.AccountsFrm()->EditBtn));
    QVERIFY(saved);
  }

  // A call while another window has the keyboard: the X server carries the
  // window's urgency hint until the window is activated.
  void incomingCallMarksTheWindowUrgent() {
    TMainForm& form = *rig_->Form;
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    int busy = 0;
    for (int i = 1; i <= 6; ++i) busy += form.LineCall(i) ? 1 : 0;
    rig_->Peer->Call("101");
    QTRY_VERIFY(form.LineCall(busy + 1));
    QVERIFY(form.Urgent());
    QCOMPARE(WmHintFlags(&form) & 256, 256);
    form.activateWindow();
    QTRY_VERIFY(form.isActiveWindow());
    QVERIFY(!form.Urgent());
    QCOMPARE(WmHintFlags(&form) & 256, 0);
  }

  // A server name that does not resolve: the status bar and the balloon say so.
  void offlineMessage() {
    TMainForm& form = *rig_->Form;
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(1));
    QVERIFY(rig_->Click(form.AccountsFrm()->SelectBtn));
    QCOMPARE(form.OfflineReason(), TMainForm::TOfflineReason::CannotResolve);
    QVERIFY(SaveWithSurroundings(&form, "offline-accounts.png"));
    form.ShowFrame(0);
    form.ConnectItem()->trigger();
    QVERIFY(SaveWithSurroundings(&form, "offline-dialpad.png"));
  }

  void cleanupTestCase() { rig_.reset(); }
};

QV_GUI_TEST_MAIN(TScreenshots, true)
#include "screenshots_test.moc"
