// Going online: when it cannot work the window says why (status bar and
// balloon), the status menu's tick follows what really happened, and the
// account can be selected again.
#include <QAction>
#include <QPushButton>
#include <QTest>

#include "app/accountsframe.h"
#include "app/balloontip.h"
#include "app/dialframe.h"
#include "app/statusbar.h"
#include "desktop/suites.h"
#include "platform/clock.h"
#include "support/rig.h"

namespace qv::test {

using TReason = TMainForm::TOfflineReason;

class TOnlineSuite : public QObject {
  Q_OBJECT

private slots:
  // No account at all: "Conectarse" and "Conectar" say so and send nothing.
  void noAccountSaysSo() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    QVERIFY(rig.Click(form.DialFrm()->btnConectar));
    QCOMPARE(form.OfflineReason(), TReason::NoAccount);
    QCOMPARE(form.StatusText(), QString("Fuera de linea: sin cuenta"));
    QVERIFY(form.LastMessage().startsWith("Sin cuenta SIP\nAgregue una cuenta en Cuentas SIP"));
    QTRY_VERIFY(form.BalloonTip() && form.BalloonTip()->isVisible());
    QVERIFY(form.BalloonTip()->ShowingMessage());
    QCOMPARE(form.BalloonTip()->Title(), QString("Sin cuenta SIP"));
    form.ConnectItem()->trigger();
    QVERIFY(form.DisconnectItem()->isChecked() && !form.ConnectItem()->isChecked());
    QTest::qWait(200);
    QCOMPARE(rig.Registrar.RegisterCount(), 0);
    QVERIFY(!form.RegisteredAccount());
  }

  // A name that does not resolve is found before anything is sent; the
  // message names it, and "Seleccionar" stays usable for another try.
  void unresolvableServerSaysSoAndCanBeRetried() {
    TRig rig;
    rig.WriteIni("[ACCOUNT]\nServer=nohost.invalid:5070\nUser=100\nCount=2\n"
                 "[ACCOUNT1]\nServer=nohost.invalid:5070\nUser=100\n"
                 "[ACCOUNT2]\nServer=" + rig.Registrar.Server() + "\nUser=101\nProxy=noproxy.invalid\n");
    rig.Start();
    TMainForm& form = *rig.Form;
    QCOMPARE(form.OfflineReason(), TReason::CannotResolve);
    QCOMPARE(form.StatusText(), QString("Fuera de linea: servidor desconocido"));
    QCOMPARE(form.LastMessage(), QString("Servidor desconocido\nNo se encuentra el servidor nohost.invalid.\n"
                                         "Revise el nombre en Cuentas SIP."));
    QVERIFY(!form.RegisteredAccount());
    QVERIFY(form.DisconnectItem()->isChecked());

    form.ShowFrame(1);
    TAccountsFrm& accounts = *form.AccountsFrm();
    accounts.SelectRow(accounts.Row(0));
    form.UpdateActions();
    QVERIFY(accounts.SelectBtn->isEnabled());
    // The registration goes to the proxy: that is the name that must resolve.
    accounts.SelectRow(accounts.Row(1));
    QVERIFY(rig.Click(accounts.SelectBtn));
    QVERIFY(form.LastMessage().contains("noproxy.invalid"));
    QVERIFY(accounts.SelectBtn->isEnabled());
    QTest::qWait(200);
    QCOMPARE(rig.Registrar.RegisterCount(), 0);
    // Out of the dial pad the balloon stands over the status bar.
    TBalloonTip* tip = form.BalloonTip();
    QTRY_VERIFY(tip && tip->isVisible());
    QWidget* panel = form.StatusLine()->Panel(0);
    QCOMPARE(tip->geometry().bottom() + 1, panel->mapToGlobal(QPoint(0, 0)).y());
  }

  // A registrar that never answers: nothing is ticked while the REGISTER
  // waits; after the time-out the window says the server does not answer;
  // once the server is back, selecting the account again goes online.
  void noAnswerSaysSoAndRetryWorks() {
    TRig rig;
    rig.Registrar.SetRegisterAnswer(TLoopRegistrar::kNoAnswer);
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_COMPARE(rig.Registrar.RegisterCount(), 1);
    ISipAccountPtr waiting = form.RegisteredAccount();
    QVERIFY(waiting);
    form.ConnectItem()->trigger();  // a second REGISTER, still unanswered
    QVERIFY(!form.ConnectItem()->isChecked());
    QCOMPARE(form.StatusText(), QString("Fuera de linea"));
    // The engine's 20 s time-out, without waiting for it: its monotonic
    // clock is moved.
    AdvanceClockForTests(21000);
    QTRY_COMPARE(form.OfflineReason(), TReason::NoAnswer);
    QCOMPARE(form.StatusText(), QString("Fuera de linea: sin respuesta"));
    QVERIFY(form.LastMessage().startsWith("Sin respuesta\nEl servidor 127.0.0.1 no responde."));
    QVERIFY(!form.RegisteredAccount());

    rig.Registrar.SetRegisterAnswer("");
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(0));
    QVERIFY(rig.Click(form.AccountsFrm()->SelectBtn));
    QTRY_VERIFY(form.Online());
    QCOMPARE(form.OfflineReason(), TReason::None);
    QVERIFY(form.ConnectItem()->isChecked());
    QCOMPARE(form.StatusText(), QString("sip: 101@127.0.0.1"));
  }
};

std::unique_ptr<QObject> MakeOnlineSuite() { return std::make_unique<TOnlineSuite>(); }

}  // namespace qv::test

#include "online.moc"
