// sip: and tel: links, and one program per user: a second start hands its
// link to the first, whose dial field then holds the number.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <future>

#include "app/diallinks.h"
#include "app/dialframe.h"
#include "app/inifile.h"
#include "app/singleinstance.h"
#include "desktop/suites.h"
#include "support/peer_process.h"
#include "support/rig.h"

namespace qv::test {

class TLinksSuite : public QObject {
  Q_OBJECT

private slots:
  void numbersFromLinks_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("number");
    const QString none;
    QTest::newRow("tel, separators") << "tel:+34-91-555-0101" << "+34915550101";
    QTest::newRow("tel, local") << "tel:7042;phone-context=example.com" << "7042";
    QTest::newRow("sip, our server") << "sip:201@PBX.example.org:5060;transport=udp" << "201";
    QTest::newRow("sips, other host") << "SIPS:alice@other.example?subject=hola" << "alice@other.example";
    QTest::newRow("sip, escaped") << "sip:%32%30%31@pbx.example.org" << "201";
    QTest::newRow("sip, host only") << "sip:gateway.example" << "gateway.example";
    QTest::newRow("empty") << "tel:" << none;
    QTest::newRow("blank inside") << "sip:a%20b@pbx.example.org" << none;
    QTest::newRow("line break") << "sip:201%0d%0aVia:x@pbx.example.org" << none;
    QTest::newRow("angle bracket") << "sip:<201>@x" << none;
  }
  void numbersFromLinks() {
    QFETCH(QString, link);
    QFETCH(QString, number);
    QVERIFY(IsDialLink(link));
    QString error;
    QCOMPARE(NumberFromLink(link, "pbx.example.org:5070", &error), number);
    QCOMPARE(error.isEmpty(), !number.isEmpty());
  }

  void openLinkFillsTheDialField() {
    TRig rig;
    rig.Start();
    TMainForm& form = *rig.Form;
    form.ShowFrame(2);
    form.hide();
    form.OpenLink("tel:+34-91-555-0101");
    QVERIFY(form.isVisible());
    QVERIFY(form.DialFrm()->isVisible());
    QCOMPARE(form.DialFrm()->PhoneEdit->text(), QString("+34915550101"));
    // Too long for the field: refused, not cut into another number.
    form.OpenLink("tel:+1234567890123456789");
    QCOMPARE(form.DialFrm()->PhoneEdit->text(), QString("+34915550101"));
    QVERIFY(form.LastMessage().startsWith("Numero demasiado largo"));
    form.OpenLink("sip:%0a");
    QVERIFY(form.LastMessage().startsWith("Enlace no valido"));
  }

  // In one process: the second instance runs on a thread of its own, as it
  // would in its own process, while the first answers from its event loop.
  void secondInstanceHandsOver() {
    QTemporaryDir dir;
    QString path = dir.filePath("q.socket");
    QFile stale(path);  // left behind by a program that crashed
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    TSingleInstance first(path);
    QVERIFY(first.Listen());
    QStringList got;
    first.OnRequest = [&](const QString& request) { got << request; };
    auto handed = std::async(std::launch::async, [path] { return TSingleInstance(path).HandOver("open tel:555"); });
    QTRY_COMPARE(got, QStringList({"open tel:555"}));
    QVERIFY(handed.get());
    QVERIFY(!TSingleInstance(dir.filePath("nobody.socket")).HandOver("raise", 500));
  }

  // The real program twice: the second start ends at once, and the first
  // has the link's number in its dial field (it writes it when it closes).
  void programStartedTwice() {
    QTemporaryDir dir;
    QString program = dir.filePath("quorvelle");
    QVERIFY(QFile::copy(QV_BINARY_DIR "/src/app/quorvelle", program));  // its settings go beside it
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8());
    TPeerDir logs;
    TPeerProcess first({program.toStdString()}, logs.File("first.log"), dir.path().toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("quorvelle.socket")), 10000);
    TPeerProcess second({program.toStdString(), "tel:555-0101"}, logs.File("second.log"), dir.path().toStdString());
    QCOMPARE(second.Wait(10000), 0);
    TPeerProcess third({program.toStdString()}, logs.File("third.log"), dir.path().toStdString());
    QCOMPARE(third.Wait(10000), 0);
    QVERIFY(first.Running());
    QCOMPARE(first.Stop(10000), 0);  // SIGTERM closes the window like the user
    QCOMPARE(TIniFile(dir.filePath("trelvani.ini").toStdString()).ReadString("CALL", "Telefono", ""),
             std::string("5550101"));
    qunsetenv("XDG_RUNTIME_DIR");
  }

  void desktopFileDeclaresTheLinks() {
    QString file = QV_SOURCE_DIR "/src/app/quorvelle.desktop";
    QProcess validate;
    validate.start("desktop-file-validate", {file});
    QVERIFY2(validate.waitForFinished(10000), "desktop-file-validate is missing");
    QVERIFY2(validate.exitCode() == 0, validate.readAllStandardOutput().constData());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(f.readAll());
    QVERIFY(text.contains("\nExec=quorvelle %u\n"));
    QVERIFY(text.contains("MimeType=x-scheme-handler/sip;x-scheme-handler/sips;x-scheme-handler/tel;"));
  }
};

std::unique_ptr<QObject> MakeLinksSuite() { return std::make_unique<TLinksSuite>(); }

}  // namespace qv::test

#include "links.moc"
