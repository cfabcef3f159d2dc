// A user's whole session on a simulated 1 MB USB unit, through the menus and
// the dialogs: set the unit up as a 27080, load and verify a 1 MB S37 image,
// look at its last bytes in the view window, checksum it and write it back out
// as S37, each result checked against the image as srec_cat reads it.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTextEdit>

#include "pelmogui3/frmCksum.h"
#include "pelmogui3/frmLoad.h"
#include "pelmogui3/frmViewEdit.h"
#include "pelmogui3/frmWrite.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

constexpr int kImageSize = 0x100000;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

QString Quoted(const QString& path) { return "'" + path + "'"; }

class E2eSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

private slots:
    void initTestCase() { qputenv("PELMO_SIM_USB", "unit=0,ram=1024"); }
    void init() {
        if (QStandardPaths::findExecutable("srec_cat").isEmpty()) QSKIP("srec_cat is not installed");
        fx.Reset();
    }
    void cleanup() { fx.Drop(); }

    void loadViewChecksumAndWriteA27080Image() {
        // The image and its bytes as srec_cat reads them.
        const QString image = fx.File("image.s37");
        const QString imageBin = fx.File("image.bin");
        QVERIFY(Shell("srec_cat -generate 0 0x100000 -random -o " + Quoted(image) + " -address-length=4"));
        QVERIFY(Shell("srec_cat " + Quoted(image) + " -o " + Quoted(imageBin) + " -binary"));
        const QByteArray bytes = ReadAll(imageBin);
        QCOMPARE(bytes.size(), kImageSize);
        quint32 byteSum = 0;
        for (char c : bytes) byteSum += static_cast<unsigned char>(c);

        fx.Start();
        fx.TakeBoxes();
        QCOMPARE(UnitSettings.Unit, 0);

        // Device setup: the 27080 on unit 0.
        QString unitShown;
        fx.onDeviceSetup = [&unitShown](frmSetupDevice* d) {
            unitShown = d->Unit->currentText();
            const int type = d->DeviceType->findText("27080 (1M)");
            d->DeviceType->setCurrentIndex(type);
            emit d->DeviceType->activated(type);
            d->DoneButton->click();
        };
        fx.Main()->mnuSetupDevice->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmSetupDevice"}));
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(unitShown, QString("0"));
        QCOMPARE(UnitSettings.DevType, 10);
        QCOMPARE(UnitSettings.DevSize, kImageSize);
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        QVERIFY2(fx.Panel(1, 2).startsWith("TYPE: 27080"), qPrintable(fx.Panel(1, 2)));

        // Load with verify: Now runs it, Done keeps the set-up.
        fx.onDialog = [&image](QWidget* w) {
            auto* f = qobject_cast<frmLoad*>(w);
            if (!f) {
                w->close();
                return;
            }
            f->LoadFileFile->setText(image);
            f->LoadFileStart->setText("0");
            f->LoadFileTarget->setText("0");
            f->LoadFileLength->setText("ALL");
            f->LoadFileWidth->setCurrentIndex(0);
            f->LoadFileLoadOption[1]->setChecked(true);
            f->NowButton->click();
            f->DoneButton->click();
        };
        fx.Main()->mnuSetupLoad->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmLoad"}));
        auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("LOAD OPERATION SUCCESSFUL\r"), qPrintable(boxes[0].text));
        QCOMPARE(boxes[0].title, QString(" Pelmo Setup Load"));
        QCOMPARE(UnitSettings.LoadFile, image);
        QCOMPARE(UnitSettings.LoadMode, 1);
        QVERIFY(UnitSettings.FileLoaded);
        QCOMPARE(fx.Panel(2, 0), QString("FILE: " + image));
        QVERIFY(fx.PanelEnabled(2, 0));

        // The view window's last page ends with the image's last 16 bytes.
        fx.Main()->mnuViewOpen->trigger();
        auto* view = qobject_cast<frmViewEdit*>(modMain::ViewWindow.data());
        QVERIFY(view && view->isVisible());
        view->VScrollBar->setValue(view->VScrollBar->maximum());
        const QStringList lines = view->EditBox->toPlainText().split('\n');
        QCOMPARE(lines.size(), 16);
        QCOMPARE(lines[0].mid(1, 6), QString("0FFF00"));
        QString lastHex;
        for (int a = kImageSize - 16; a < kImageSize; ++a)
            lastHex += QString("%1 ").arg(static_cast<unsigned char>(bytes[a]), 2, 16, QChar('0')).toUpper();
        QCOMPARE(lines[15].left(9), QString(" 0FFFF0  "));
        QCOMPARE(lines[15].mid(9, 48), lastHex);
        // And the first page, back at the top, starts with the first 16.
        view->VScrollBar->setValue(0);
        QString firstHex;
        for (int a = 0; a < 16; ++a)
            firstHex += QString("%1 ").arg(static_cast<unsigned char>(bytes[a]), 2, 16, QChar('0')).toUpper();
        QCOMPARE(view->EditBox->toPlainText().split('\n').value(0).mid(9, 48), firstHex);
        fx.Main()->mnuViewOpen->trigger();
        QVERIFY(!modMain::ViewOpen);

        // Checksum of the whole device against the image's own byte sum.
        fx.onDialog = [](QWidget* w) {
            auto* f = qobject_cast<frmCksum*>(w);
            if (!f) {
                w->close();
                return;
            }
            f->CksumStart->setText("0");
            f->CksumLength->setText("ALL");
            f->NowButton->click();
            f->DoneButton->click();
        };
        fx.Main()->mnuSetupCksum->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmCksum"}));
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("CHECKSUM OPERATION SUCCESSFUL\r"), qPrintable(boxes[0].text));
        const QString sumHex = QString("%1").arg(byteSum, 8, 16, QChar('0')).toUpper();
        QCOMPARE(fx.Panel(2, 1), "SUM: " + sumHex.left(4) + "-" + sumHex.right(4));
        QVERIFY(fx.PanelEnabled(2, 1));
        QCOMPARE(UnitSettings.CksumResult, byteSum);

        // Write the whole RAM out as S37, no fill removal.
        const QString written = fx.File("written.s37");
        fx.onDialog = [&written](QWidget* w) {
            auto* f = qobject_cast<frmWrite*>(w);
            if (!f) {
                w->close();
                return;
            }
            f->WriteFileFile->setText(written);
            const int format = f->WriteFileFormat->findText("Motorola S37");
            f->WriteFileFormat->setCurrentIndex(format);
            emit f->WriteFileFormat->activated(format);
            f->WriteFileStart->setText("0");
            f->WriteFileLength->setText("ALL");
            f->WriteFileTarget->setText("");
            f->WriteFileFill->setText("");
            f->WriteFileRecord->setText("32");
            f->WriteFileEntry->setText("");
            f->NowButton->click();
            f->DoneButton->click();
        };
        fx.Main()->mnuSetupWrite->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmWrite"}));
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("WRITE OPERATION SUCCESSFUL\r"), qPrintable(boxes[0].text));
        QCOMPARE(UnitSettings.WriteFile, written);
        QCOMPARE(UnitSettings.WriteFormat, 5);

        // Every data record is an S3 record, and srec_cat reads back the image.
        const QStringList records = QString::fromLatin1(ReadAll(written)).split('\n', Qt::SkipEmptyParts);
        int dataRecords = 0;
        for (const QString& r : records) {
            QVERIFY2(!r.startsWith("S1") && !r.startsWith("S2"), qPrintable(r));
            if (r.startsWith("S3")) ++dataRecords;
        }
        QVERIFY(dataRecords >= kImageSize / 255);
        QString out;
        QVERIFY2(Shell("srec_cmp " + Quoted(image) + " " + Quoted(written), &out), qPrintable(out));
        const QString writtenBin = fx.File("written.bin");
        QVERIFY(Shell("srec_cat " + Quoted(written) + " -o " + Quoted(writtenBin) + " -binary"));
        QVERIFY(ReadAll(writtenBin) == bytes);
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeE2eSuite() { return std::make_unique<E2eSuite>(); }

#include "e2e_test.moc"
