// The window against a real registrar and proxy: Kamailio on loopback, with
// Digest authentication, and a peer that reaches the window through it.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "app/dialframe.h"
#include "support/peer_kamailio.h"
#include "support/rig.h"
#include "support/testmain.h"

using namespace qv;
using namespace qv::test;

namespace {

std::string AccountAt(const TKamailio& k, const std::string& user, const std::string& password) {
  return "[ACCOUNT]\nServer=" + k.Address() + "\nUser=" + user + "\nPassword=" + password +
         "\nCount=1\n[ACCOUNT1]\nServer=" + k.Address() + "\nUser=" + user + "\nPassword=" + password +
         "\n";
}

}  // namespace

class TKamailioTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TPeerDir> dir_;
  std::unique_ptr<TKamailio> kamailio_;

private slots:
  void initTestCase() {
    // A missing or broken Kamailio raises here, which fails the program.
    dir_ = std::make_unique<TPeerDir>();
    kamailio_ = std::make_unique<TKamailio>(
        *dir_, std::vector<TSipUser>{{"101", "pw"}, {"102", "pw"}, {"103", "pw"}, {"204", "pw"}});
  }

  void cleanupTestCase() {
    kamailio_.reset();
    dir_.reset();
  }

  // The status bar shows the account once the challenged REGISTER went
  // through.
  void registersWithDigest() {
    TRig rig;
    rig.WriteIni(AccountAt(*kamailio_, "101", "pw"));
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY_WITH_TIMEOUT(form.Online(), 5000);
    QCOMPARE(form.StatusText(), QString("sip: 101@127.0.0.1"));
    QVERIFY(form.ConnectItem()->isChecked());
    QVERIFY(!form.RegisteredAccount()->GetChallenge().Nonce.empty());  // it was challenged
    // Off line and back: the un-REGISTER is challenged too.
    QVERIFY(rig.Click(form.DialFrm()->btnConectar));
    QTRY_VERIFY_WITH_TIMEOUT(!form.Online(), 5000);
    QCOMPARE(form.StatusText(), QString("Fuera de linea"));  // asked for: no reason shown
    QVERIFY(rig.Click(form.DialFrm()->btnConectar));
    QTRY_VERIFY_WITH_TIMEOUT(form.Online(), 5000);
  }

  void wrongPasswordStaysOffline() {
    TRig rig;
    rig.WriteIni(AccountAt(*kamailio_, "102", "wrong"));
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY_WITH_TIMEOUT(!form.RegisteredAccount(), 5000);
    QVERIFY(!form.Online());
    QCOMPARE(form.StatusText(), QString("Fuera de linea: cuenta rechazada"));
    QVERIFY(form.LastMessage().startsWith("Cuenta rechazada"));
    QVERIFY(rig.Watcher.Boxes.empty());
  }

  // Calls both ways through the proxy: the peer finds the window by its
  // registration, the window finds the peer by its.
  void callsThroughTheProxy() {
    TRig rig;
    TSipPeer far(kamailio_->Address(), "204");
    far.Register("pw");
    QTRY_VERIFY_WITH_TIMEOUT(far.Registered, 5000);
    rig.WriteIni(AccountAt(*kamailio_, "103", "pw"));
    rig.Start();
    TMainForm& form = *rig.Form;
    QTRY_VERIFY_WITH_TIMEOUT(form.Online(), 5000);

    ISipCallPtr in = far.Call("103");
    QTRY_VERIFY_WITH_TIMEOUT(form.LineCall(1), 5000);
    form.RefreshLines();
    QCOMPARE(form.MemoText(), QString("[ LINEA 1 de 6 ] Llamada Entrante\r\nLlamando a 204\r\nTimbrando..."));
    QVERIFY(form.Ringing());
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    QTRY_VERIFY_WITH_TIMEOUT(far.WasAnswered(in), 5000);
    QVERIFY(!form.Ringing());
    QVERIFY(rig.Click(form.DialFrm()->HangUpBtn));
    QTRY_VERIFY_WITH_TIMEOUT(far.HasEnded(in), 5000);
    QTRY_VERIFY(!form.LineCall(1));

    far.AutoAnswer = true;
    form.DialFrm()->PhoneEdit->setText("204");
    QVERIFY(rig.Click(form.DialFrm()->CallBtn));
    ISipCallPtr out = form.LineCall(1);
    QVERIFY(out);
    QTRY_COMPARE_WITH_TIMEOUT(out->GetState(), int(csConnected), 5000);
    QVERIFY(!far.Invited.empty());
    far.Client().HangUp(far.Invited.back());
    QTRY_VERIFY_WITH_TIMEOUT(!form.LineCall(1), 5000);
  }
};

QV_GUI_TEST_MAIN(TKamailioTest, true)
#include "kamailio_test.moc"
