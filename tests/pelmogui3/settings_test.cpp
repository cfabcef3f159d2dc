// Per-unit settings: defaults of a fresh store, the hex encoding, the valid
// ranges that send damaged values back to their defaults, and the number
// readers shared with the dialogs.
#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;

namespace {

using Field = int32_t UnitSettingsRecord::*;

class SettingsSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

private slots:
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void freshStoreGivesTheDefaults() {
        // Left-over live flags must not survive a unit's settings being loaded.
        modMain::UnitSettings.FileLoaded = true;
        modMain::UnitSettings.SumValid = true;
        modReg::LoadUnitSettings(3);
        const UnitSettingsRecord& s = modMain::UnitSettings;
        QCOMPARE(modReg::SectionName, QString("Settings3"));
        QCOMPARE(s.Unit, 3);
        const struct {
            Field field;
            int32_t value;
            const char* name;
        } expected[] = {
            {&UnitSettingsRecord::DevType, 5, "DevType"},
            {&UnitSettingsRecord::FoldingMode, 1, "FoldingMode"},
            {&UnitSettingsRecord::AutoReset, 1, "AutoReset"},
            {&UnitSettingsRecord::ResetActive, 2, "ResetActive"},
            {&UnitSettingsRecord::ResetInactive, 2, "ResetInactive"},
            {&UnitSettingsRecord::ResetPulseWidth, 10, "ResetPulseWidth"},
            {&UnitSettingsRecord::LoadStart, 0, "LoadStart"},
            {&UnitSettingsRecord::LoadTarget, 0, "LoadTarget"},
            {&UnitSettingsRecord::LoadLength, 0, "LoadLength"},
            {&UnitSettingsRecord::LoadWidth, 1, "LoadWidth"},
            {&UnitSettingsRecord::LoadMode, 0, "LoadMode"},
            {&UnitSettingsRecord::FillValue, 0xFF, "FillValue"},
            {&UnitSettingsRecord::FillStart, 0, "FillStart"},
            {&UnitSettingsRecord::FillLength, 0, "FillLength"},
            {&UnitSettingsRecord::FillMode, 0, "FillMode"},
            {&UnitSettingsRecord::WriteFormat, 0, "WriteFormat"},
            {&UnitSettingsRecord::WriteEOFOption, 1, "WriteEOFOption"},
            {&UnitSettingsRecord::WriteAppendOverOption, 0, "WriteAppendOverOption"},
            {&UnitSettingsRecord::WriteStart, 0, "WriteStart"},
            {&UnitSettingsRecord::WriteLength, 0, "WriteLength"},
            {&UnitSettingsRecord::WriteTargetOption, 0, "WriteTargetOption"},
            {&UnitSettingsRecord::WriteTarget, 0, "WriteTarget"},
            {&UnitSettingsRecord::WriteFillValue, 0xFF, "WriteFillValue"},
            {&UnitSettingsRecord::WriteRecordLen, 32, "WriteRecordLen"},
            {&UnitSettingsRecord::WriteEntryOption, 0, "WriteEntryOption"},
            {&UnitSettingsRecord::WriteEntryAddress, 0, "WriteEntryAddress"},
            {&UnitSettingsRecord::CksumStart, 0, "CksumStart"},
            {&UnitSettingsRecord::CksumLength, 0, "CksumLength"},
            {&UnitSettingsRecord::ViewAddress, 0, "ViewAddress"},
        };
        for (const auto& e : expected) QVERIFY2(s.*e.field == e.value, e.name);
        QVERIFY(s.LoadFile.isEmpty() && s.WriteFile.isEmpty() && s.WriteSignon.isEmpty());
        QVERIFY(!s.FileLoaded);
        QVERIFY(!s.SumValid);
        QVERIFY(!modReg::UnitHasSettings(3));
    }

    void storedTextReadsBackInRange_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("expected");
        struct Row {
            const char* key;
            const char* stored;
            int expected;
        };
        const Row rows[] = {
            {"ResetPulseWidth", "64", 100},
            {"ResetPulseWidth", "2711", 10},  // 10001: too long
            {"ResetPulseWidth", "2710", 10000},
            {"ResetPulseWidth", "0", 10},
            {"ResetPulseWidth", " 1 ", 1},
            {"ResetPulseWidth", "ff", 255},
            {"LoadLength", "100000", 0x100000},
            {"LoadLength", "100001", 0},
            {"FillLength", "FFFFFFFF", 0},
            {"CksumLength", "0", 0},
            {"WriteFillValue", "100", 256},
            {"WriteFillValue", "101", 0xFF},
            {"WriteFillValue", "0", 0},
            {"FillValue", "1FF", 0xFF},
            {"ViewAddress", "FFFFF", 0xFFF00},
            {"ViewAddress", "FFFFFFFF", 0},
            {"ViewAddress", "FFF10", 0xFFF00},
            {"ViewAddress", "1234", 0x1234},
            {"DevType", "B", 5},
            {"DevType", "A", 10},
            {"DevType", "0", 0},
            {"DevType", "", 5},
            {"DevType", "x", 5},
            {"DevType", "27256", 5},
            {"DevType", "5 6", 5},
            {"DevType", "1,2", 5},
            {"DevType", "123456789", 5},
            {"LoadWidth", "9", 1},
            {"LoadWidth", "8", 8},
            {"LoadWidth", "0", 1},
            {"LoadMode", "3", 0},
            {"LoadStart", "FFFFF", 0xFFFFF},
            {"LoadStart", "100000", 0},
            {"WriteFormat", "6", 6},
            {"WriteFormat", "7", 0},
            {"WriteRecordLen", "FF", 255},
            {"WriteRecordLen", "100", 32},
            {"WriteAppendOverOption", "3", 0},
            {"AutoReset", "0", 0},
            {"WriteTarget", "FFFFFFFF", -1},
            {"FoldingMode", "2", 2},
            {"FoldingMode", "-1", 1},
            {"ResetActive", "3", 2},
        };
        for (const Row& r : rows)
            QTest::addRow("%s=%s", r.key, r.stored) << QString(r.key) << QString(r.stored) << r.expected;
    }
    void storedTextReadsBackInRange() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(int, expected);
        fx.Stored(2, key, stored);
        modReg::LoadUnitSettings(2);
        const UnitSettingsRecord& s = modMain::UnitSettings;
        const struct {
            const char* name;
            int32_t value;
        } fields[] = {
            {"ResetPulseWidth", s.ResetPulseWidth},
            {"LoadLength", s.LoadLength},
            {"FillLength", s.FillLength},
            {"CksumLength", s.CksumLength},
            {"WriteFillValue", s.WriteFillValue},
            {"FillValue", s.FillValue},
            {"ViewAddress", s.ViewAddress},
            {"DevType", s.DevType},
            {"LoadWidth", s.LoadWidth},
            {"LoadMode", s.LoadMode},
            {"LoadStart", s.LoadStart},
            {"WriteFormat", s.WriteFormat},
            {"WriteRecordLen", s.WriteRecordLen},
            {"WriteAppendOverOption", s.WriteAppendOverOption},
            {"AutoReset", s.AutoReset},
            {"WriteTarget", s.WriteTarget},
            {"FoldingMode", s.FoldingMode},
            {"ResetActive", s.ResetActive},
        };
        bool found = false;
        for (const auto& f : fields) {
            if (key != f.name) continue;
            found = true;
            QCOMPARE(f.value, expected);
        }
        QVERIFY(found);
    }

    void saveWritesUpperCaseHexAndTextsUnchanged() {
        modReg::LoadUnitSettings(1);
        UnitSettingsRecord& s = modMain::UnitSettings;
        s.ResetPulseWidth = 100;
        s.WriteFillValue = 256;
        s.WriteTarget = -1;
        s.WriteEntryAddress = 0xABCDE;
        s.LoadFile = "dir, with comma/\u00e4pfel image.hex";
        s.WriteSignon = "HDR \u00b5P";
        s.ViewAddress = 0x700;
        s.Unit = 1;
        modReg::SaveUnitSettings();
        QCOMPARE(fx.StoredText(1, "ResetPulseWidth"), QString("64"));
        QCOMPARE(fx.StoredText(1, "WriteFillValue"), QString("100"));
        QCOMPARE(fx.StoredText(1, "WriteTarget"), QString("FFFFFFFF"));
        QCOMPARE(fx.StoredText(1, "WriteEntryAddress"), QString("ABCDE"));
        QCOMPARE(fx.StoredText(1, "ViewAddress"), QString("700"));
        QCOMPARE(fx.StoredText(1, "DevType"), QString("5"));
        QCOMPARE(fx.StoredText(1, "LoadFile"), s.LoadFile);
        // And back: every stored field returns as it was saved.
        const UnitSettingsRecord saved = s;
        s = UnitSettingsRecord{};
        modReg::ReopenStore();
        modReg::LoadUnitSettings(1);
        QCOMPARE(s.ResetPulseWidth, 100);
        QCOMPARE(s.WriteFillValue, 256);
        QCOMPARE(s.WriteTarget, -1);
        QCOMPARE(s.WriteEntryAddress, 0xABCDE);
        QCOMPARE(s.LoadFile, saved.LoadFile);
        QCOMPARE(s.WriteSignon, saved.WriteSignon);
        QCOMPARE(s.ViewAddress, 0x700);
    }

    void eachUnitHasItsOwnSection() {
        modReg::LoadUnitSettings(0);
        modMain::UnitSettings.DevType = 3;
        modReg::SaveUnitSettings();
        modReg::LoadUnitSettings(1);
        modMain::UnitSettings.DevType = 7;
        modReg::SaveUnitSettings();
        QVERIFY(modReg::UnitHasSettings(0));
        QVERIFY(modReg::UnitHasSettings(1));
        QVERIFY(!modReg::UnitHasSettings(2));
        modReg::LoadUnitSettings(0);
        QCOMPARE(modMain::UnitSettings.DevType, 3);
        modReg::LoadUnitSettings(1);
        QCOMPARE(modMain::UnitSettings.DevType, 7);
        // Window keys go to the section selected at that moment.
        modReg::SaveHexSetting("MainWidth", 0x280);
        QCOMPARE(fx.StoredText(1, "MainWidth"), QString("280"));
        QCOMPARE(fx.StoredText(0, "MainWidth"), QString("<missing>"));
        // A section with other keys but no device type has no settings.
        fx.Stored(2, "MainLeft", "10");
        QVERIFY(!modReg::UnitHasSettings(2));
    }

    void hexAndDecimalReaders_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("hex");
        QTest::addColumn<int>("decimal");
        QTest::newRow("plain") << "10" << 0x10 << 10;
        QTest::newRow("lower-case hex") << "ff" << 0xFF << 0;
        QTest::newRow("eight digits, top bit") << "FFFFFFFF" << -1 << 0;
        QTest::newRow("nine digits") << "100000000" << 0 << 100000000;
        QTest::newRow("leading zeros") << "000000000012" << 0x12 << 12;
        QTest::newRow("blanks") << "  7 " << 7 << 7;
        QTest::newRow("empty") << "" << 0 << 0;
        QTest::newRow("not a number") << "abc" << 0xABC << 0;
        QTest::newRow("G") << "12G" << 0 << 0;
        QTest::newRow("prefix") << "0x10" << 0 << 0;
        QTest::newRow("half rounds to even") << "2.5" << 0 << 2;
        QTest::newRow("odd half rounds up") << "3.5" << 0 << 4;
        QTest::newRow("negative") << "-12" << 0 << -12;
        QTest::newRow("exponent") << "1e3" << 0x1E3 << 1000;
        QTest::newRow("too big for 32 bits") << "99999999999" << 0 << 0;
    }
    void hexAndDecimalReaders() {
        QFETCH(QString, text);
        QFETCH(int, hex);
        QFETCH(int, decimal);
        QCOMPARE(modMain::HexValue(text), hex);
        QCOMPARE(modMain::DecimalValue(text), decimal);
    }

    // The store's file as something other than a regular file: read as the defaults at
    // once (a FIFO without a writer never blocks), and at Sync nothing is written or
    // renamed; the reason names what is there.
    void storeThatIsNotARegularFileIsNeverWritten_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a character device") << "device link";
        QTest::newRow("link to a FIFO") << "fifo link";
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("a folder") << "folder";
    }
    void storeThatIsNotARegularFileIsNeverWritten() {
        QFETCH(QString, kind);
        const QString ini = fx.IniPath();
        QVERIFY(QDir().mkpath(QFileInfo(ini).path()));
        // A null device made for the test where the system allows it, else /dev/null.
        QString device = fx.File("null-device");
        if (mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) device = "/dev/null";
        QVERIFY(mkfifo(QFile::encodeName(fx.File("fifo")).constData(), 0600) == 0);
        QString node = ini, reason;
        if (kind == "device link") {
            node = device;
            reason = ini + " is a link to a character device, not to a regular file";
        } else if (kind == "fifo link") {
            node = fx.File("fifo");
            reason = ini + " is a link to a FIFO, not to a regular file";
        }
        if (node != ini) {
            QVERIFY(QFile::link(node, ini));
        } else if (kind == "fifo") {
            QVERIFY(mkfifo(QFile::encodeName(ini).constData(), 0600) == 0);
            reason = "Is a FIFO, not a regular file";
        } else {
            QVERIFY(QDir().mkpath(ini));
            reason = "Is a directory, not a regular file";
        }
        struct stat before {};
        QCOMPARE(lstat(QFile::encodeName(node).constData(), &before), 0);
        const QStringList listing =
            QDir(QFileInfo(ini).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
        modReg::ReopenStore();
        modReg::LoadUnitSettings(4);
        QCOMPARE(modMain::UnitSettings.DevType, 5);
        modMain::UnitSettings.DevType = 3;
        modReg::SaveUnitSettings();
        QString file, why;
        QVERIFY(!modReg::Sync(&file, &why));
        QCOMPARE(file, ini);
        QCOMPARE(why, reason);
        struct stat after {};
        QCOMPARE(lstat(QFile::encodeName(node).constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
        QCOMPARE(QDir(QFileInfo(ini).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), listing);
        // The settings themselves are kept for the rest of the run.
        modReg::LoadUnitSettings(4);
        QCOMPARE(modMain::UnitSettings.DevType, 3);
    }

    // A link to a regular file is followed: read through it, and the file it names is
    // replaced while the link stays a link.
    void storeThroughALinkToARegularFile() {
        const QString ini = fx.IniPath(), real = fx.File("real.ini");
        QVERIFY(QDir().mkpath(QFileInfo(ini).path()));
        QFile f(real);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Settings4]\nDevType=3\nKeptKey=kept\n");
        f.close();
        QVERIFY(QFile::link(real, ini));
        modReg::ReopenStore();
        modReg::LoadUnitSettings(4);
        QCOMPARE(modMain::UnitSettings.DevType, 3);
        modMain::UnitSettings.DevType = 7;
        modReg::SaveUnitSettings();
        QString file, why;
        QVERIFY2(modReg::Sync(&file, &why), qPrintable(why));
        QVERIFY(QFileInfo(ini).isSymLink());
        QSettings stored(real, QSettings::IniFormat);
        QCOMPARE(stored.value("Settings4/DevType").toString(), QString("7"));
        QCOMPARE(stored.value("Settings4/KeptKey").toString(), QString("kept"));
    }

    // What another run stored while this one ran stays, under this run's own changes.
    void syncKeepsWhatAnotherRunStored() {
        modReg::LoadUnitSettings(4);
        modReg::SaveUnitSettings();
        QVERIFY(modReg::Sync(nullptr));
        {
            QSettings other(fx.IniPath(), QSettings::IniFormat);
            other.setValue("Settings2/DevType", "9");
            other.setValue("Settings4/LoadFile", "other.hex");
        }
        modMain::UnitSettings.LoadFile = "mine.hex";
        modReg::SaveUnitSettings();
        QVERIFY(modReg::Sync(nullptr));
        QCOMPARE(fx.StoredText(2, "DevType"), QString("9"));
        QCOMPARE(fx.StoredText(4, "LoadFile"), QString("mine.hex"));
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeSettingsSuite() { return std::make_unique<SettingsSuite>(); }

#include "settings_test.moc"
