// gui_mainform: the window driven like a user drives it, with a peer and a
// registrar on loopback; at the end, every Spanish text of the window, the
// accounts and the audio settings must have been shown.
#include <QRegularExpression>
#include <QTest>

#include "mainform/suites.h"
#include "support/testmain.h"
#include "support/texts.h"

namespace qv::test {

class TSpanishTextsSuite : public QObject {
  Q_OBJECT
private slots:
  void everyTextWasShown() {
    // "%s" stands for a value the program fills in.
    static const char* const kTexts[] = {
        // main window
        "Quorvelle v0.9.3 build 254", "Telefono", "Cuentas SIP", "Configuracion de Audio",
        "Acerca de...", "Conectar", "Desconectar", "Linea 1", "Linea 2", "Linea 3", "Linea 4",
        "Linea 5", "Linea 6", "Transferir llamada :", "Espera", "Atender", "Conferencia",
        "Detener confe.", "Grabar", "Guardar archivo de audio", "Microfono", "Volumen",
        "Conectarse", "Desconectarse", "[ LINEA %s de 6 ]", " Llamada Entrante", " Llamada Saliente",
        "Llamando a %s", "DTMF detectado: %s", "Timbrando...", "Fuera de linea", "sip: %s@%s",
        "Conectar / Desconectar", "Permite conectar al servidor PBX,", "o desconectar del servidor PBX.",
        "Por favor ingrese el numero al que deseas transferir.", "Transferencia Llamada",
        "Guardar grabacion", "grabacion.wav",
        // accounts and the account dialog
        "Seleccionar", "Agregar", "Editar", "Remover", "Domain", "User name", "Cuenta SIP",
        "Servidor SIP :", "Usuario :", "Password :", "Proxy :", "Usar servidor STUN", "&Guardar",
        "&Cancelar", "Confirmar", "Deseas remover la cuenta %s@%s ?",
        "Ingrese el servidor SIP (ej. Direccion IP de Asterisk)",
        // audio settings
        "Configuracion de llamadas", "Configuracion de timbrado", "Default"};
    const QSet<QString>& seen = SeenTexts();
    QStringList missing;
    for (const char* text : kTexts) {
      QStringList parts = QString(text).split("%s");
      for (QString& part : parts) part = QRegularExpression::escape(part);
      QRegularExpression re(parts.join(".+"));
      bool found = false;
      for (const QString& s : seen)
        if (re.match(s).hasMatch()) {
          found = true;
          break;
        }
      if (!found) missing << text;
    }
    QVERIFY2(missing.isEmpty(), qPrintable("never shown: " + missing.join(" | ")));
  }
};

}  // namespace qv::test

int main(int argc, char** argv) {
  if (!qv::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "no private network namespace: test not run\n");
    return 1;
  }
  QApplication app(argc, argv);
  int failed = 0;
  std::unique_ptr<QObject> suites[] = {qv::test::MakeStartupSuite(), qv::test::MakeCallsSuite(),
                                       qv::test::MakeAccountsSuite(),
                                       qv::test::MakeBrokenSettingsSuite()};
  // QV_GUI_SUITE=Calls runs one suite (and skips the text check, which needs all).
  QString only = qEnvironmentVariable("QV_GUI_SUITE");
  for (auto& suite : suites)
    if (only.isEmpty() || QString(suite->metaObject()->className()).contains(only))
      failed += QTest::qExec(suite.get(), argc, argv);
  if (!only.isEmpty()) return failed;
  qv::test::TSpanishTextsSuite texts;
  failed += QTest::qExec(&texts, argc, argv);
  return failed;
}

#include "mainform_test.moc"
