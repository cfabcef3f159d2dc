// The operation setup dialogs on the virtual unit: each field kind's check,
// what Now, Done and Cancel store, the write dialog's enabling rules and the
// load dialog's verify-only run.
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextBrowser>

#include "pelmogui3/frmCksum.h"
#include "pelmogui3/frmFill.h"
#include "pelmogui3/frmHelp.h"
#include "pelmogui3/frmLoad.h"
#include "pelmogui3/frmWrite.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class SetupSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

    // Shown without the modal watch answering it: the test drives it.
    template <typename Form>
    std::unique_ptr<Form> Open() {
        auto form = std::make_unique<Form>(fx.Main());
        form->setModal(false);
        form->show();
        return form;
    }

private slots:
    void init() {
        fx.Reset();
        fx.Start();
        fx.TakeBoxes();
    }
    void cleanup() { fx.Drop(); }

    // The load dialog's Browse offers ELF executables, alone and among the
    // loadable files, and the chosen one goes into the file field.
    void loadBrowseOffersElfFiles() {
        const QString elf = fx.File("firmware.elf");
        QFile file(elf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "\x7f"
            "ELF");
        file.close();
        QStringList filters;
        fx.onDialog = [&](QWidget* w) {
            auto* chooser = qobject_cast<QFileDialog*>(w);
            if (!chooser) {
                w->close();
                return;
            }
            filters = chooser->nameFilters();
            chooser->selectNameFilter("ELF Executables (*.elf)");
            chooser->selectFile(elf);
            static_cast<QDialog*>(chooser)->accept();  // as its Open button does
        };
        auto d = Open<frmLoad>();
        d->LoadFileBrowse->click();
        QCOMPARE(fx.TakeDialogs().size(), 1);
        QVERIFY2(filters.contains("ELF Executables (*.elf)"), qPrintable(filters.join(" | ")));
        const QStringList loadable = filters.filter("Loadable Files");
        QCOMPARE(loadable.size(), 1);
        QVERIFY2(loadable[0].contains(QRegularExpression("\\(.*\\*\\.elf\\b.*\\)")), qPrintable(loadable[0]));
        QCOMPARE(d->LoadFileFile->text(), elf);
        QVERIFY(d->NowButton->isEnabled());
        QVERIFY(fx.TakeBoxes().empty());
    }

    void fieldChecks_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("shown");    // after a valid check
        QTest::addColumn<QString>("message");  // when refused
        const QString loadLength =
            "Please specify a Hex Length in Bytes between 1 and 100000\r"
            "Or the word ALL to indicate Loading of the entire file";
        const QString start = "Please specify a Hex Start Address between 0 and FFFFF";
        const QString record = "Please specify a Decimal Record Length between 1 and 255";
        struct Row {
            const char *form, *field, *input, *shown;
            QString message;
        };
        const Row rows[] = {
            {"load", "LoadFileLength", "all", "ALL", {}},
            {"load", "LoadFileLength", "All", "ALL", {}},
            {"load", "LoadFileLength", "", "ALL", {}},
            {"load", "LoadFileLength", "0", "ALL", {}},
            {"load", "LoadFileLength", " 100000 ", "100000", {}},
            {"load", "LoadFileLength", "100001", "", loadLength},
            {"load", "LoadFileStart", "fffff", "FFFFF", {}},
            {"load", "LoadFileStart", "", "0", {}},
            {"load", "LoadFileStart", "100000", "", start},
            {"load", "LoadFileTarget", "xyz", "", "Please specify a Hex Target Address between 0 and FFFFF"},
            {"fill", "FillValue", "7", "07", {}},
            {"fill", "FillValue", "", "FF", {}},
            {"fill", "FillValue", "100", "", "Please specify a Fill Value between 0 and FF"},
            {"fill", "FillLength", "abc", "ABC", {}},
            {"fill", "FillLength", "allx", "",
             "Please specify a Hex Length in Bytes between 1 and 100000\r"
             "Or the word ALL to indicate filling of the entire device"},
            {"checksum", "CksumLength", "-1", "",
             "Please specify a Hex Length in Bytes between 1 and 100000\r"
             "Or the word ALL to indicate Checksuming of the entire device"},
            {"write", "WriteFileLength", "200000", "",
             "Please specify a Hex Length in Bytes between 1 and 100000\r"
             "Or the word ALL to indicate Writing of the entire file"},
            {"write", "WriteFileFill", "", "", {}},
            {"write", "WriteFileFill", "0", "0", {}},
            {"write", "WriteFileFill", "1FF", "",
             "Please specify a Hex Fill Value between 0 and FF\rOr Leave BLANK for No Fill Removal"},
            {"write", "WriteFileRecord", "", "32", {}},
            {"write", "WriteFileRecord", "255", "255", {}},
            {"write", "WriteFileRecord", "0", "", record},
            {"write", "WriteFileRecord", "256", "", record},
            {"write", "WriteFileRecord", "1A", "", record},
            {"write", "WriteFileTarget", "", "", {}},
            {"write", "WriteFileTarget", "8000", "8000", {}},
            {"write", "WriteFileTarget", "80 00", "",
             "Please specify a Hex Target Address\rOr Leave BLANK to use Start Address"},
            {"write", "WriteFileEntry", "q", "",
             "Please specify a Hex Entry Point Address \rOr Leave BLANK for No Entry Point"},
        };
        for (const Row& r : rows)
            QTest::addRow("%s %s '%s'", r.form, r.field, r.input)
                << r.form << r.field << r.input << r.shown << r.message;
    }
    void fieldChecks() {
        QFETCH(QString, form);
        QFETCH(QString, field);
        QFETCH(QString, input);
        QFETCH(QString, shown);
        QFETCH(QString, message);
        std::unique_ptr<SetupForm> f;
        QString title;
        if (form == "load") f = Open<frmLoad>(), title = " Pelmo Load Setup";
        if (form == "fill") f = Open<frmFill>(), title = " Pelmo Fill Setup";
        if (form == "checksum") f = Open<frmCksum>(), title = " Pelmo Checksum Setup";
        if (form == "write") f = Open<frmWrite>(), title = " Pelmo Write Setup";
        auto* edit = f->findChild<QLineEdit*>(field);
        QVERIFY(edit);
        edit->setText(input);
        const bool valid = f->CheckField(edit);
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(valid, message.isEmpty());
        if (valid) {
            QVERIFY(boxes.empty());
            QCOMPARE(edit->text(), shown);
        } else {
            QCOMPARE(boxes.size(), size_t(1));
            EXPECT_BOX(boxes[0], message, BoxIcon::Exclamation, title);
            QCOMPARE(edit->text(), input);
        }
    }

    void leavingAFieldChecksIt() {
        auto f = Open<frmFill>();
        f->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.get()));
        f->FillValue->setFocus();
        QTRY_VERIFY(f->FillValue->hasFocus());
        f->FillValue->setText("7");
        f->FillStart->setFocus();
        QCOMPARE(f->FillValue->text(), QString("07"));
        f->FillStart->setText("zz");
        f->FillLength->setFocus();
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
        QVERIFY(f->FillStart->hasFocus());
        // Cancel is not held up by the field it leaves.
        f->CancelButton->setFocus();
        QVERIFY(fx.TakeBoxes().empty());
    }

    void doneStopsAtTheFirstBadFieldInOrder() {
        auto f = Open<frmLoad>();
        f->LoadFileTarget->setText("zz");
        f->LoadFileLength->setText("zz");
        f->DoneButton->click();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY(boxes[0].text.startsWith("Please specify a Hex Target Address"));
        QVERIFY(f->isVisible());
    }

    void loadFileNameStoredByDoneOnly() {
        UnitSettings.LoadFile = "old.hex";
        UnitSettings.FileLoaded = true;
        modMain::SetStatus("");
        {
            auto f = Open<frmLoad>();
            f->LoadFileFile->setText("  new.hex ");
            f->LoadFileStart->setText("10");
            f->CancelButton->click();
        }
        QCOMPARE(UnitSettings.LoadFile, QString("old.hex"));
        QCOMPARE(UnitSettings.LoadStart, 0);
        QVERIFY(UnitSettings.FileLoaded);
        auto f = Open<frmLoad>();
        QVERIFY(f->findChild<QPushButton*>("LoadFileNow")->isEnabled());
        f->LoadFileFile->setText("");
        QVERIFY(!f->findChild<QPushButton*>("LoadFileNow")->isEnabled());
        f->LoadFileFile->setText("  new.hex ");
        f->LoadFileStart->setText("10");
        f->LoadFileLength->setText("all");
        f->LoadFileWidth->setCurrentIndex(2);
        f->LoadFileLoadOption[1]->setChecked(true);
        f->DoneButton->click();
        QVERIFY(!f->isVisible());
        QCOMPARE(UnitSettings.LoadFile, QString("new.hex"));
        QCOMPARE(UnitSettings.LoadStart, 0x10);
        QCOMPARE(UnitSettings.LoadLength, 0);
        QCOMPARE(UnitSettings.LoadWidth, 3);
        QCOMPARE(UnitSettings.LoadMode, 1);
        QVERIFY(!UnitSettings.FileLoaded);
        QCOMPARE(fx.Panel(2, 0), QString("FILE: new.hex"));
        QVERIFY(!fx.PanelEnabled(2, 0));
    }

    void verifyOnlyRunFromTheLoadDialog() {
        QVERIFY(Shell("srec_cat -generate 0 0x100 -constant 0x5A -o '" + fx.File("a.hex") + "' -intel"));
        UnitSettings.LoadFile = fx.File("a.hex");
        modMain::RunLoad("Quick Load", false);
        auto f = Open<frmLoad>();
        auto* now = f->findChild<QPushButton*>("LoadFileNow");
        QCOMPARE(now->text(), QString("Load &Now"));
        f->LoadFileLoadOption[2]->setChecked(true);
        QCOMPARE(now->text(), QString("Verify &Now"));
        now->click();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("VERIFY OPERATION SUCCESSFUL\r"), qPrintable(boxes[0].text));
        QCOMPARE(boxes[0].title, QString(" Pelmo Setup Load"));
        QVERIFY(f->isVisible());  // Now leaves the dialog open
        f->CancelButton->click();
        QCOMPARE(UnitSettings.LoadMode, 2);  // stored by Now, kept by Cancel
    }

    void fillAndChecksumNow() {
        auto fill = Open<frmFill>();
        fill->FillValue->setText("11");
        fill->FillLength->setText("100");
        fill->NowButton->click();
        auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY(boxes[0].text.startsWith("FILL OPERATION SUCCESSFUL\r"));
        QCOMPARE(boxes[0].title, QString(" Pelmo Setup Fill"));
        auto sum = Open<frmCksum>();
        sum->CksumLength->setText("100");
        sum->NowButton->click();
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY(boxes[0].text.startsWith("CHECKSUM OPERATION SUCCESSFUL\r"));
        QCOMPARE(UnitSettings.CksumResult, 0x11u * 0x100);
        QCOMPARE(fx.Panel(2, 1), QString("SUM: 0000-1100"));
    }

    void writeFieldsStoreTheirOptions() {
        auto f = Open<frmWrite>();
        QVERIFY(!f->findChild<QPushButton*>("WriteFileNow")->isEnabled());
        f->WriteFileFile->setText(fx.File("w.s37"));
        QVERIFY(f->findChild<QPushButton*>("WriteFileNow")->isEnabled());
        f->WriteFileFormat->setCurrentIndex(5);
        emit f->WriteFileFormat->activated(5);
        f->WriteFileFill->setText("");
        f->WriteFileTarget->setText("8000");
        f->WriteFileAppendOverOption[0]->click();
        f->WriteFileAppendOverOption[1]->click();
        QVERIFY(!f->WriteFileAppendOverOption[0]->isChecked());
        f->DoneButton->click();
        QVERIFY(!f->isVisible());
        QCOMPARE(UnitSettings.WriteFormat, 5);
        QCOMPARE(UnitSettings.WriteFillValue, 256);
        QCOMPARE(UnitSettings.WriteTargetOption, 1);
        QCOMPARE(UnitSettings.WriteTarget, 0x8000);
        QCOMPARE(UnitSettings.WriteAppendOverOption, 2);
        QCOMPARE(UnitSettings.WriteEntryOption, 0);
        auto again = Open<frmWrite>();
        QCOMPARE(again->WriteFileFill->text(), QString());
        QCOMPARE(again->WriteFileTarget->text(), QString("8000"));
        QVERIFY(again->WriteFileAppendOverOption[1]->isChecked());
    }

    void helpButtonsShowTheirOwnTopic_data() {
        QTest::addColumn<QString>("form");
        for (const char* topic : {"device", "load", "write", "fill", "checksum"}) QTest::newRow(topic) << topic;
    }
    void helpButtonsShowTheirOwnTopic() {
        QFETCH(QString, form);
        modMain::HelpFile = QString(PELMO_BIN_DIR) + "/PelmoGui3.html";
        std::unique_ptr<QDialog> dialog;
        if (form == "device") dialog = std::make_unique<frmSetupDevice>(fx.Main());
        if (form == "load") dialog = Open<frmLoad>();
        if (form == "write") dialog = Open<frmWrite>();
        if (form == "fill") dialog = Open<frmFill>();
        if (form == "checksum") dialog = Open<frmCksum>();
        const auto helps = dialog->findChildren<QPushButton*>(QRegularExpression("Help(Button)?$"));
        QCOMPARE(helps.size(), 1);
        helps[0]->click();
        QVERIFY(fx.TakeBoxes().empty());
        frmHelp* help = frmHelp::Current();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->HelpText->source().fragment(), form);
        QVERIFY(help->HelpText->toHtml().contains("name=\"" + form + "\""));
        frmHelp::CloseAll();
    }

    void writeEnablingFollowsFormatAndEof_data() {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("eof");
        QTest::addColumn<bool>("records");
        QTest::addColumn<bool>("entry");
        QTest::addColumn<bool>("signon");
        QTest::newRow("binary") << 0 << true << false << false << false;
        QTest::newRow("intel hex") << 1 << false << true << true << false;
        QTest::newRow("S37, EOF record") << 5 << true << true << true << true;
        QTest::newRow("S37, no EOF record") << 5 << false << true << false << true;
        QTest::newRow("S auto, no EOF record") << 3 << false << true << false << true;
    }
    void writeEnablingFollowsFormatAndEof() {
        QFETCH(int, format);
        QFETCH(bool, eof);
        QFETCH(bool, records);
        QFETCH(bool, entry);
        QFETCH(bool, signon);
        auto f = Open<frmWrite>();
        f->WriteFileFormat->setCurrentIndex(format);
        emit f->WriteFileFormat->activated(format);
        if (f->WriteFileEOFOption->isChecked() != eof) f->WriteFileEOFOption->click();
        QCOMPARE(f->WriteFileEOFOption->isEnabled(), format != 0);
        QCOMPARE(f->WriteFileTarget->isEnabled(), records);
        QCOMPARE(f->WriteFileFill->isEnabled(), records);
        QCOMPARE(f->WriteFileRecord->isEnabled(), records);
        QCOMPARE(f->WriteFileEntry->isEnabled(), entry);
        QCOMPARE(f->WriteFileSignonText->isEnabled(), signon);
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeSetupSuite() { return std::make_unique<SetupSuite>(); }

#include "setup_test.moc"
