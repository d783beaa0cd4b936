// The window among the desktop's things: an incoming call comes to the
// front and is announced through the notification service (answered or
// rejected from there), the tray menu, and Qt's own texts in Spanish.
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include "app/accountsframe.h"
#include "app/dialframe.h"
#include "app/notifier.h"
#include "desktop/suites.h"
#include "platform/audio_virtual.h"
#include "support/rig.h"
#include "support/sessionbus.h"

namespace qv::test {

namespace {

QStringList Texts(const QList<QAction*>& actions) {
  QStringList texts;
  for (QAction* a : actions)
    if (!a->isSeparator()) texts << a->text();
  return texts;
}

}  // namespace

class TDesktopSuite : public QObject {
  Q_OBJECT

private slots:
  void init() { VirtualAudio::ResetAll(); }

  // Minimised, the window comes back for a call; the desktop shows the
  // caller with "Contestar" and "Rechazar", which work; the notification
  // goes when the call stops ringing.
  void incomingCallOnTheDesktop() {
    TStubNotifications stub(true);
    QVERIFY(stub.Registered());
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    form.showMinimized();
    QTRY_VERIFY(form.isMinimized());

    ISipCallPtr first = rig.Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    QVERIFY(!form.isMinimized() && form.isVisible());
    QTRY_COMPARE(int(stub.Shown.size()), 1);
    TStubNotifications::TShown shown = stub.Shown[0];
    QCOMPARE(shown.Summary, QString("Llamada Entrante"));
    QCOMPARE(shown.Body, QString("De: 204\nLinea 1"));
    QCOMPARE(shown.Actions, QStringList({"contestar", "Contestar", "rechazar", "Rechazar"}));
    QCOMPARE(shown.Hints.value("category").toString(), QString("call.incoming"));
    stub.Invoke(shown.Id, "contestar");
    QTRY_COMPARE(form.LineCall(1)->GetState(), int(csConnected));
    QTRY_VERIFY(rig.Peer->WasAnswered(first));
    QVERIFY(!form.Ringing());

    ISipCallPtr second = rig.Peer->Call("101");
    QTRY_COMPARE(int(stub.Shown.size()), 2);
    QCOMPARE(stub.Shown[1].Body, QString("De: 204\nLinea 2"));
    stub.Invoke(stub.Shown[1].Id, "rechazar");
    QTRY_VERIFY(rig.Peer->HasEnded(second));
    QCOMPARE(second->GetLastResponseCode(), 486);
    QCOMPARE(form.LineCall(1)->GetState(), int(csConnected));  // the first call goes on

    // Answered in the window: the desktop's notification is taken away.
    ISipCallPtr third = rig.Peer->Call("101");
    QTRY_COMPARE(int(stub.Shown.size()), 3);
    uint id = stub.Shown[2].Id;
    form.SelectLine(2);
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QTRY_VERIFY(std::find(stub.Closed.begin(), stub.Closed.end(), id) != stub.Closed.end());
    QVERIFY(!form.Notifier()->Showing());
  }

  // A service without actions still shows the caller; without a service the
  // window alone comes up, and nothing fails.
  void notificationWithoutActionsOrService() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    {
      TStubNotifications stub(false);
      rig.Start();
      QTRY_VERIFY(rig.Form->Online());
      rig.Peer->Call("101");
      QTRY_COMPARE(int(stub.Shown.size()), 1);
      QVERIFY(stub.Shown[0].Actions.isEmpty());
      QVERIFY(rig.Click(rig.Form->DialFrm()->HangUpBtn));  // rejected in the window
      QTRY_VERIFY(!rig.Form->LineCall(1));
    }
    TMainForm& form = *rig.Form;
    form.hide();
    rig.Peer->Call("101");
    QTRY_VERIFY(form.LineCall(1));
    QVERIFY(form.isVisible());
    QCOMPARE(form.Notifier()->LastWay(), TDesktopNotifier::TWay::None);  // offscreen: no tray either
  }

  void trayMenu() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY(form.Online());
    QMenu* menu = form.TrayMenu();
    emit menu->aboutToShow();
    QCOMPARE(Texts(menu->actions()), QStringList({"Ocultar", "Conectar", "Desconectar", "Salir"}));
    QVERIFY(form.ConnectItem()->isChecked());
    form.ShowHideItem()->trigger();
    QVERIFY(!form.isVisible());
    emit menu->aboutToShow();
    QCOMPARE(form.ShowHideItem()->text(), QString("Mostrar"));
    form.ShowHideItem()->trigger();
    QVERIFY(form.isVisible());

    form.DisconnectItem()->trigger();
    QTRY_VERIFY(!form.Online());
    form.ConnectItem()->trigger();
    QTRY_VERIFY(form.Online());

    QSignalSpy quit(&form, &TMainForm::QuitRequested);
    form.DialFrm()->PhoneEdit->setText("4321");
    form.QuitItem()->trigger();
    QCOMPARE(quit.count(), 1);
    QVERIFY(!form.isVisible());
    QVERIFY(rig.ReadIni().find("Telefono=4321") != std::string::npos);  // shut down like a close
  }

  // Qt's own buttons and dialogs speak Spanish; the texts of the window
  // that are English on purpose stay so.
  void qtSpeaksSpanish() {
    TRig rig;
    rig.WriteIni(rig.AccountIni());
    rig.Start();
    TMainForm& form = *rig.Form;
    form.ShowFrame(1);
    form.AccountsFrm()->SelectRow(form.AccountsFrm()->Row(0));
    rig.Watcher.Answer = QMessageBox::No;
    QVERIFY(rig.Click(form.AccountsFrm()->RemoveBtn));
    QCOMPARE(int(rig.Watcher.Boxes.size()), 1);
    QCOMPARE(rig.Watcher.Boxes[0].ButtonTexts, QStringList({"&Sí", "&No"}));
    QCOMPARE(form.AccountsFrm()->RowCount(), 1);

    QDialogButtonBox ok(QDialogButtonBox::Ok);
    QCOMPARE(ok.button(QDialogButtonBox::Ok)->text(), QString("Aceptar"));
    QFileDialog save(&form, "Guardar grabacion", "grabacion.wav");
    save.setOption(QFileDialog::DontUseNativeDialog);
    save.setAcceptMode(QFileDialog::AcceptSave);
    QStringList texts;
    for (QLabel* l : save.findChildren<QLabel*>()) texts << l->text();
    for (QPushButton* b : save.findChildren<QPushButton*>()) texts << b->text();
    QVERIFY2(texts.contains("&Nombre de fichero:") && texts.contains("&Guardar") && texts.contains("Cancelar"),
             qPrintable(texts.join(" | ")));
    QCOMPARE(form.AccountsFrm()->AccountList->headerItem()->text(1), QString("User name"));
  }
};

std::unique_ptr<QObject> MakeDesktopSuite() { return std::make_unique<TDesktopSuite>(); }

}  // namespace qv::test

#include "desktop.moc"
