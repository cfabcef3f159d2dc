// The program's own start as a separate process (the start driver runs the
// program's entry with boxes printed instead of shown, and closes the window as
// soon as it is up): a missing library, a library without a function the
// program needs, and a start that ends in a clean shutdown. Also where the
// program finds its help pages.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "pelmogui3/modMain.h"
#include "tests/pelmogui3/suites.h"

namespace {

struct Run {
    int status = -1;
    QString out;
};

Run Start(const QString& library, const QString& configDir) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PELMO_EMUCORE", library);
    env.insert("XDG_CONFIG_HOME", configDir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("PELMO_SIM_USB");
    env.remove("emucoredebug");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(GUI_START_DRIVER, {});
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        r.out = "timed out";
        return r;
    }
    r.out = QString::fromLocal8Bit(p.readAll());
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

class StartSuite : public QObject {
    Q_OBJECT

private slots:
    void missingLibraryIsNamedAndEndsTheProgram() {
        QTemporaryDir config;
        const Run r = Start(config.path() + "/nowhere/libemucore.so", config.path());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.out.contains("BOX[ Pelmo Error -- Library|critical]"), qPrintable(r.out));
        QVERIFY2(r.out.contains("UNABLE TO LOAD THE EMULATOR LIBRARY libemucore.so"), qPrintable(r.out));
        QVERIFY2(r.out.contains(config.path() + "/nowhere/libemucore.so"), qPrintable(r.out));
        QVERIFY(!r.out.contains("WINDOW SHOWN"));
    }

    void missingFunctionIsNamedAtItsFirstCall() {
        // The stand-in exports VXAInit and VXAFind only: the start gets as far as
        // opening the unit before it needs a function the library does not have.
        QTemporaryDir config;
        const Run r = Start(GUI_PARTIAL_LIBRARY, config.path());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.out.contains("UNABLE TO FIND THE FUNCTION VXAOpen\rIN THE EMULATOR LIBRARY\r" GUI_PARTIAL_LIBRARY),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains("partial: VXAInit\npartial: VXAFind\n"), qPrintable(r.out));
    }

    void helpPagesAreFoundBesideThenInShareThenOnPath() {
        // <tree>/bin is the program's folder, <tree>/share/pelmo the installed
        // data folder, <tree>/onpath a PATH directory.
        QTemporaryDir tree;
        const QString bin = tree.path() + "/bin", share = tree.path() + "/share/pelmo",
                      onPath = tree.path() + "/onpath";
        for (const QString& dir : {bin, share, onPath}) QVERIFY(QDir().mkpath(dir));
        auto put = [](const QString& path) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write("<html></html>") > 0;
        };
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", ("/nonexistent::" + onPath).toLocal8Bit());
        const QString none = modMain::FindDataFile(bin, "PelmoGui3.html");
        QVERIFY(put(onPath + "/PelmoGui3.html"));
        const QString fromPath = modMain::FindDataFile(bin, "PelmoGui3.html");
        QVERIFY(put(share + "/PelmoGui3.html"));
        const QString fromShare = modMain::FindDataFile(bin, "PelmoGui3.html");
        QVERIFY(put(bin + "/PelmoGui3.html"));
        const QString beside = modMain::FindDataFile(bin, "PelmoGui3.html");
        // A folder of that name is not a page.
        QVERIFY(QDir().mkpath(bin + "/PelmoGui3-web.html"));
        const QString folder = modMain::FindDataFile(bin, "PelmoGui3-web.html");
        qputenv("PATH", savedPath);
        QCOMPARE(none, QString());
        QCOMPARE(fromPath, onPath + "/PelmoGui3.html");
        QCOMPARE(fromShare, share + "/PelmoGui3.html");
        QCOMPARE(beside, bin + "/PelmoGui3.html");
        QCOMPARE(folder, QString());
    }

    void startAndCloseStoreTheSettings() {
        QTemporaryDir config;
        const Run r = Start(PELMO_LIB_DIR "/libemucore.so", config.path());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("WINDOW SHOWN  (V) Pelmo EPROM Emulator"), qPrintable(r.out));
        QVERIFY2(!r.out.contains("BOX["), qPrintable(r.out));
        QSettings stored(config.path() + "/PelmoGui3/PelmoGui3.ini", QSettings::IniFormat);
        QCOMPARE(stored.value("Settings4/DevType").toString(), QString("5"));
        QCOMPARE(stored.value("Settings4/MainWindowState").toString(), QString("0"));
    }

    // The settings file as a link to a character device, a link to a FIFO, or a FIFO
    // itself: the program starts with the defaults without waiting for a writer, shuts
    // down with the box that says why nothing was stored, and the node is what it was.
    void settingsFileThatIsNotARegularFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a character device") << "device link";
        QTest::newRow("link to a FIFO") << "fifo link";
        QTest::newRow("a FIFO") << "fifo";
    }
    void settingsFileThatIsNotARegularFile() {
        QFETCH(QString, kind);
        QTemporaryDir config;
        const QString ini = config.path() + "/PelmoGui3/PelmoGui3.ini";
        QVERIFY(QDir().mkpath(config.path() + "/PelmoGui3"));
        QString device = config.path() + "/null-device";
        if (mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) device = "/dev/null";
        const QString fifo = config.path() + "/fifo";
        QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QString node, reason;
        if (kind == "device link") {
            node = device;
            reason = ini + " is a link to a character device, not to a regular file";
            QVERIFY(QFile::link(node, ini));
        } else if (kind == "fifo link") {
            node = fifo;
            reason = ini + " is a link to a FIFO, not to a regular file";
            QVERIFY(QFile::link(node, ini));
        } else {
            node = ini;
            reason = "Is a FIFO, not a regular file";
            QVERIFY(mkfifo(QFile::encodeName(ini).constData(), 0600) == 0);
        }
        struct stat before {};
        QCOMPARE(lstat(QFile::encodeName(node).constData(), &before), 0);
        const Run r = Start(PELMO_LIB_DIR "/libemucore.so", config.path());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("WINDOW SHOWN  (V) Pelmo EPROM Emulator"), qPrintable(r.out));
        QVERIFY2(r.out.contains("BOX[ Pelmo Error -- Shutdown|exclamation] UNABLE TO SAVE THE SETTINGS IN\r" + ini +
                                "\r" + reason),
                 qPrintable(r.out));
        struct stat after {};
        QCOMPARE(lstat(QFile::encodeName(node).constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
        QCOMPARE(after.st_rdev, before.st_rdev);
        QCOMPARE(QDir(config.path() + "/PelmoGui3")
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"PelmoGui3.ini"});
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeStartSuite() { return std::make_unique<StartSuite>(); }

#include "start_test.moc"
