// The settings file: INI semantics, edits that keep what they do not touch,
// atomic and owner-only writes.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/inifile.h"
#include "platform/errors.h"
#include "support/testmain.h"

using qv::TIniFile;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace

class TIniFileTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir_;
  std::string Path(const char* name) { return dir_.filePath(name).toStdString(); }

private slots:
  void readsNamesWithoutCaseAndFirstWins() {
    std::string path = Path("read.ini");
    WriteAll(path,
             "; a comment\n"
             "[Account]\n"
             "  server = pbx  \n"
             "SERVER=other\n"
             "junk without equals\n"
             "[ACCOUNT]\n"
             "User=shadowed\n"
             "[audio]\n"
             "In=\"  Mic 1 \"\n"
             "Out='Speakers'\n"
             "Ring=\"unbalanced\n");
    TIniFile ini(path);
    QCOMPARE(ini.ReadString("ACCOUNT", "Server", "-"), std::string("pbx"));
    QCOMPARE(ini.ReadString("account", "user", "-"), std::string("-"));  // the first section only
    QCOMPARE(ini.ReadString("AUDIO", "In", "-"), std::string("  Mic 1 "));
    QCOMPARE(ini.ReadString("AUDIO", "Out", "-"), std::string("Speakers"));
    QCOMPARE(ini.ReadString("AUDIO", "Ring", "-"), std::string("\"unbalanced"));
    QCOMPARE(ini.ReadString("NONE", "Server", "dflt"), std::string("dflt"));
    QVERIFY(ini.SectionExists("audio"));
    QVERIFY(!ini.SectionExists("CALL"));
  }

  void readsIntegersStrictly() {
    std::string path = Path("int.ini");
    WriteAll(path, "[A]\nplain=12\nneg=-3\nhex=0x1F\nbad=12abc\nempty=\nhuge=99999999999\nspaced= 7 \n");
    TIniFile ini(path);
    QCOMPARE(ini.ReadInteger("A", "plain", -1), 12);
    QCOMPARE(ini.ReadInteger("A", "neg", -1), -3);
    QCOMPARE(ini.ReadInteger("A", "hex", -1), 31);
    QCOMPARE(ini.ReadInteger("A", "bad", -1), -1);
    QCOMPARE(ini.ReadInteger("A", "empty", -1), -1);
    QCOMPARE(ini.ReadInteger("A", "huge", -1), -1);
    QCOMPARE(ini.ReadInteger("A", "spaced", -1), 7);
    QCOMPARE(ini.ReadInteger("A", "missing", 5075), 5075);
  }

  // Whatever the user types must read back exactly, although the reader trims
  // blanks and quotes; a line break cannot be stored and becomes a blank.
  void writtenValuesReadBackExactly() {
    std::string path = Path("values.ini");
    const std::vector<std::string> values = {" lead", "trail ", "\"quoted\"", "'single'", "a=b;c",
                                             "", "p@ss w0rd", "\"half"};
    {
      TIniFile ini(path);
      for (size_t i = 0; i < values.size(); ++i) ini.WriteString("V", "k" + std::to_string(i), values[i]);
      ini.WriteString("V", "broken", "line\nbreak\r");
    }
    TIniFile again(path);
    for (size_t i = 0; i < values.size(); ++i)
      QCOMPARE(again.ReadString("V", "k" + std::to_string(i), "-"), values[i]);
    QCOMPARE(again.ReadString("V", "broken", "-"), std::string("line break "));
  }

  void editsKeepEveryOtherByte() {
    std::string path = Path("edit.ini");
    const std::string original =
        "; kept comment\r\n"
        "[CALL]\r\n"
        "Telefono=101\r\n"
        "\r\n"
        "[ACCOUNT]\r\n"
        "Server=pbx\r\n"
        "odd line\twith tab\r\n"
        "\r\n"
        "[AUDIO]\n"  // a line with a different ending stays as it is
        "In=Default";  // no final line break
    WriteAll(path, original);
    TIniFile ini(path);
    ini.WriteString("call", "TELEFONO", "555");
    ini.WriteString("ACCOUNT", "User", "100");
    ini.WriteString("AUDIO", "Out", "Speakers");
    ini.WriteString("SIP", "PuertoLocal", "5070");
    QCOMPARE(ReadAll(path), std::string("; kept comment\r\n"
                                        "[CALL]\r\n"
                                        "Telefono=555\r\n"
                                        "\r\n"
                                        "[ACCOUNT]\r\n"
                                        "Server=pbx\r\n"
                                        "odd line\twith tab\r\n"
                                        "User=100\r\n"
                                        "\r\n"
                                        "[AUDIO]\n"
                                        "In=Default\r\n"
                                        "Out=Speakers\r\n"
                                        "[SIP]\r\n"
                                        "PuertoLocal=5070\r\n"));
  }

  void eraseRemovesEveryCopyOfASection() {
    std::string path = Path("erase.ini");
    WriteAll(path, "[ACCOUNT1]\nServer=a\n[ACCOUNT2]\nServer=b\n[account1]\nServer=c\n[X]\nk=v\n");
    TIniFile ini(path);
    ini.EraseSection("ACCOUNT1");
    QCOMPARE(ReadAll(path), std::string("[ACCOUNT2]\nServer=b\n[X]\nk=v\n"));
    ini.EraseSection("NONE");  // nothing to do, nothing written
    QCOMPARE(TIniFile(path).ReadString("account2", "server", ""), std::string("b"));
  }

  void batchWritesOnceAtCommit() {
    std::string path = Path("batch.ini");
    WriteAll(path, "[ACCOUNT]\nCount=1\n[ACCOUNT1]\nServer=a\n");
    TIniFile ini(path);
    ini.BeginUpdate();
    ini.EraseSection("ACCOUNT1");
    ini.WriteString("ACCOUNT1", "Server", "b");
    ini.WriteInteger("ACCOUNT", "Count", 1);
    QCOMPARE(ReadAll(path), std::string("[ACCOUNT]\nCount=1\n[ACCOUNT1]\nServer=a\n"));
    ini.Commit();
    QCOMPARE(ReadAll(path), std::string("[ACCOUNT]\nCount=1\n[ACCOUNT1]\nServer=b\n"));
  }

  // The file holds passwords: new files are the owner's alone; a mode the
  // user chose is kept.
  void permissions() {
    std::string fresh = Path("fresh.ini");
    TIniFile(fresh).WriteString("ACCOUNT", "Password", "secret");
    struct stat st{};
    QCOMPARE(stat(fresh.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);

    std::string chosen = Path("chosen.ini");
    WriteAll(chosen, "[A]\n");
    chmod(chosen.c_str(), 0640);
    TIniFile(chosen).WriteString("A", "k", "v");
    QCOMPARE(stat(chosen.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0640);
  }

  void writesThroughASymbolicLink() {
    std::string target = Path("real.ini"), link = Path("link.ini");
    WriteAll(target, "[A]\nk=1\n");
    QCOMPARE(symlink(target.c_str(), link.c_str()), 0);
    TIniFile(link).WriteString("A", "k", "2");
    struct stat st{};
    QCOMPARE(lstat(link.c_str(), &st), 0);
    QVERIFY(S_ISLNK(st.st_mode));
    QCOMPARE(ReadAll(target), std::string("[A]\nk=2\n"));
  }

  void failedWriteNamesTheFileAndLeavesNoTrace() {
    std::string path = Path("missing-dir/trelvani.ini");
    TIniFile ini(path);
    try {
      ini.WriteString("A", "k", "v");
      QFAIL("no error");
    } catch (const qv::Exception& e) {
      QVERIFY(std::string(e.what()).find(path) != std::string::npos);
    }
    QCOMPARE(ini.ReadString("A", "k", "none"), std::string("none"));  // memory rolled back
  }

  // Binary garbage reads as whatever lines it happens to hold and survives
  // a write byte for byte.
  void garbageSurvivesAWrite() {
    std::string path = Path("garbage.ini");
    std::string garbage;
    uint32_t state = 12345;
    for (int i = 0; i < 4096; ++i) {
      state = state * 1103515245u + 12345u;
      garbage += char(state >> 24);
    }
    garbage += "\n";
    WriteAll(path, garbage);
    TIniFile ini(path);
    (void)ini.ReadString("ACCOUNT", "Server", "");
    (void)ini.ReadInteger("ACCOUNT", "Count", 0);
    ini.WriteString("CALL_X_UNLIKELY", "Telefono", "101");
    std::string after = ReadAll(path);
    QVERIFY(after.size() > garbage.size());
    QCOMPARE(after.substr(0, garbage.size()), garbage);
  }

  void settingsFileSitsBesideTheProgram() {
    std::string path = qv::SettingsFilePath();
    std::string dir = QCoreApplication::applicationDirPath().toStdString();
    QCOMPARE(path, dir + "/trelvani.ini");  // the build tree is writable
  }
};

QV_GUI_TEST_MAIN(TIniFileTest, false)
#include "inifile_test.moc"
