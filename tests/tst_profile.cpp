// Profiles: the settings' rules, the file (exact to the bit, whatever the
// locale, refusing what a technician got wrong), and reading, writing with
// read-back and comparing against simulated displays.
#include "ConfiguredDisplay.h"
#include "DesktopLocale.h"
#include "Backup.h"
#include "Profile.h"
#include "ProfileFile.h"
#include "Record.h"
#include "Rules.h"
#include "Sha256.h"
#include "SimDisplay.h"
#include "Transfer.h"

#include <QtTest>

#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <sys/stat.h>

using profile::Json;
using profile::Outcome;
using rules::Field;
using sim::FaultKind;

Q_DECLARE_METATYPE(Field)

namespace {

// A display on a pseudo-terminal and a line of its own to it.
struct Bench {
    std::unique_ptr<sim::SimDisplay> display;
    profile::PanelLine line;

    explicit Bench(sim::SimDisplay::Options options = {})
    {
        display = std::make_unique<sim::SimDisplay>(options);
        std::string error;
        if (!display->Start(&error))
            qFatal("simulator: %s", error.c_str());
        if (line.link.OpenDevice(display->DevicePath(), 1, 2) != 1)  // 8n2, 9600
            qFatal("cannot open %s", display->DevicePath().c_str());
        line.settings.displayAddress = options.address;
    }
    profile::Transfer Transfer() { return profile::Transfer(line.link, line.image); }
};

// The least a profile holds: zeros where the rules let them be.
profile::Profile Minimal()
{
    profile::Profile least;
    least.registers.Set(4006, 1);  // row I needs a digit
    least.registers.Set(4003, 1);  // and the device line a time-out
    return least;
}

std::string ValidText()
{
    return profile::WriteProfileText(Minimal(), "test");
}

// A valid profile's file with one entry changed ("rows/I/digits").
std::string Edited(const QString& pointer, const Json& value)
{
    Json document = Json::parse(ValidText());
    document[Json::json_pointer(pointer.toStdString())] = value;
    return document.dump();
}

std::optional<profile::Profile> Read(const std::string& text, std::string* refusal = nullptr)
{
    std::string ignored;
    return profile::ReadProfileText(text, refusal ? refusal : &ignored);
}

}  // namespace

class ProfileTest : public QObject {
    Q_OBJECT

private slots:
    // The file is read and written alike on a desktop with a decimal comma.
    void initTestCase() { VerifyDesktopLocale(); }

    // ---- the rules

    void rulesTakeTheirEdgesAndRefuseBeyond_data()
    {
        QTest::addColumn<Field>("field");
        QTest::addColumn<unsigned>("row");
        QTest::addColumn<qint64>("lowest");
        QTest::addColumn<qint64>("highest");
        QTest::newRow("row I digits") << Field::Digits << 0u << qint64(1) << qint64(20);
        QTest::newRow("row IV digits") << Field::Digits << 3u << qint64(0) << qint64(20);
        QTest::newRow("format") << Field::Format << 0u << qint64(0) << qint64(3);
        QTest::newRow("displayed register") << Field::DisplayedRegister << 0u << qint64(7500) << qint64(7649);
        QTest::newRow("night level") << Field::NightLevel << 0u << qint64(0) << qint64(100);
        QTest::newRow("time-out in tenths") << Field::ReplyTimeOut << 0u << qint64(1) << qint64(50);
        QTest::newRow("rate code") << Field::LineRate << 0u << qint64(0) << qint64(9);
        QTest::newRow("device address") << Field::DeviceAddress << 0u << qint64(0) << qint64(247);
        QTest::newRow("basic address") << Field::BasicAddress << 0u << qint64(-32768) << qint64(65535);
        QTest::newRow("register count") << Field::RegisterCount << 0u << qint64(1) << qint64(10);
        QTest::newRow("register type") << Field::RegisterType << 0u << qint64(0) << qint64(6);
        QTest::newRow("review period") << Field::ReviewPeriod << 0u << qint64(1) << qint64(60);
        QTest::newRow("display address") << Field::DisplayAddress << 0u << qint64(1) << qint64(247);
    }
    void rulesTakeTheirEdgesAndRefuseBeyond()
    {
        QFETCH(Field, field);
        QFETCH(unsigned, row);
        QFETCH(qint64, lowest);
        QFETCH(qint64, highest);
        QVERIFY(!rules::CheckInteger(field, lowest, row));
        QVERIFY(!rules::CheckInteger(field, highest, row));
        for (qint64 outside : {lowest - 1, highest + 1}) {
            const auto violation = rules::CheckInteger(field, outside, row);
            QVERIFY(violation);
            QCOMPARE(violation->field, field);
            QCOMPARE(rules::Describe(*violation),
                     "outside " + std::to_string(lowest) + " to " + std::to_string(highest));
        }
    }

    void groupRulesSayWhichFieldFailed()
    {
        // A switched-off device's fields need only fit their registers; 248 is no address.
        QVERIFY(!rules::CheckDevice({0, -32768, 0, 99, 65535}));
        QCOMPARE(rules::CheckDevice({0, 0, 65536, 0, 0})->field, Field::RegisterCount);
        QCOMPARE(rules::CheckDevice({0, 65536, 0, 0, 0})->field, Field::BasicAddress);
        QCOMPARE(rules::CheckDevice({248, 0, 1, 0, 1})->field, Field::DeviceAddress);
        QCOMPARE(rules::CheckDevice({1, 65536, 1, 0, 1})->field, Field::BasicAddress);
        QCOMPARE(rules::CheckDevice({1, -1, 11, 0, 1})->field, Field::RegisterCount);
        QCOMPARE(rules::CheckDevice({1, -1, 1, 0, 61})->field, Field::ReviewPeriod);
        QVERIFY(!rules::CheckDevice({247, -32768, 10, 6, 60}));
        QCOMPARE(rules::CheckRow(0, {0, 0, 7500, 0})->field, Field::Digits);
        QVERIFY(!rules::CheckRow(1, {0, 3, 7649, 1}));
        QCOMPARE(rules::CheckRow(1, {0, 3, 7650, 1})->field, Field::DisplayedRegister);
        QCOMPARE(rules::CheckBrightness({0, 100, 2359, 1260})->field, Field::NightStart);
        QCOMPARE(rules::CheckBrightness({0, 100, 2359, 1260})->fault, rules::Fault::NoTimeOfDay);
        QCOMPARE(rules::CheckBrightness({0, 100, 2400, 0})->field, Field::DayStart);
        QCOMPARE(rules::CheckDeviceLine({0, 1, 2})->field, Field::ReplyTimeOut);
        QVERIFY(rules::CheckSingle(Field::Slope, 3.5e38));  // infinite once single
        QVERIFY(!rules::CheckSingle(Field::Slope, 3.4e38));
    }

    // ---- the file

    void singlesComeBackToTheBit()
    {
        std::vector<float> values {0.1f, -3.4E38f, FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MIN,
                                   std::numeric_limits<float>::denorm_min(), -0.0f, 0.0f, 1.0f / 3, 16777217.0f,
                                   123456.789f, std::nextafter(1.0f, 2.0f)};
        std::mt19937 random(22);
        while (values.size() < 20000) {
            const float value = BitsToFloat(std::uint32_t(random()));
            if (std::isfinite(value))
                values.push_back(value);
        }
        const unsigned singles[] = {7610, 7611, 7612, 7613, 7614, 7615, 7616, 7617, 7643, 7644, 7647, 7648};
        for (std::size_t at = 0; at < values.size(); at += std::size(singles)) {
            profile::Profile written = Minimal();
            for (std::size_t k = 0; k < std::size(singles); ++k)
                written.registers.SetFloat(singles[k], values[(at + k) % values.size()]);
            std::string refusal;
            const auto read = Read(profile::WriteProfileText(written, "test"), &refusal);
            QVERIFY2(read, refusal.c_str());
            for (unsigned reg : singles)
                QCOMPARE(read->registers.Get(reg), written.registers.Get(reg));
        }
        // The shortest text, as a technician would type it.
        profile::Profile shown = Minimal();
        shown.registers.SetFloat(7610, 0.1f);
        shown.registers.SetFloat(7611, -3.4E38f);
        const std::string text = profile::WriteProfileText(shown, "test");
        QVERIFY(text.find("\"firstAlarm\": 0.1,") != std::string::npos);
        QVERIFY(text.find("\"secondAlarm\": -3.4e+38\n") != std::string::npos);
    }

    void theFileIgnoresTheLocale()
    {
        profile::Profile written = Minimal();
        written.registers.SetFloat(7610, 0.1f);
        written.registers.SetFloat(7644, -273.15f);
        const std::string text = profile::WriteProfileText(written, "test");
        QVERIFY(text.find("0,1") == std::string::npos);
        QVERIFY(text.find("\"firstAlarm\": 0.1,") != std::string::npos);
        const auto read = Read(text);
        QVERIFY(read);
        QCOMPARE(read->registers.Get(7610), FloatToBits(0.1f));
        QCOMPARE(read->registers.Get(7644), FloatToBits(-273.15f));
        // A value typed as a technician would, in the file's own notation.
        const auto typed = Read(Edited("/recalibration/II/slope", Json::parse("2.5e-3")));
        QVERIFY(typed);
        QCOMPARE(typed->registers.GetFloat(7647), 2.5e-3f);
    }

    void damagedFilesAreRefusedByName_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("refusal");
        auto edit = [](const char* pointer, const char* value) {
            return QByteArray::fromStdString(Edited(QString::fromLatin1(pointer), Json::parse(value)));
        };
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << "not JSON: parse error";
        QTest::newRow("empty") << QByteArray() << "not JSON";
        QTest::newRow("no object") << QByteArray("[1, 2]") << "it holds no JSON object";
        QTest::newRow("another format") << edit("/format", "\"panel-backup\"") << "its format is \"panel-backup\"";
        QTest::newRow("no format") << QByteArray("{\"version\": 1}") << "it names no format";
        QTest::newRow("newer version") << edit("/version", "2") << "a profile of version 2, newer than this program reads (1)";
        QTest::newRow("version as text") << edit("/version", "\"1\"") << "a profile without a version number";
        QTest::newRow("missing group") << QByteArray::fromStdString([] {
            Json document = Json::parse(ValidText());
            document.erase("brightness");
            return document.dump();
        }()) << "the group \"brightness\" is missing";
        QTest::newRow("missing row") << QByteArray::fromStdString([] {
            Json document = Json::parse(ValidText());
            document["rows"].erase("III");
            return document.dump();
        }()) << "rows.III is missing";
        QTest::newRow("missing setting") << QByteArray::fromStdString([] {
            Json document = Json::parse(ValidText());
            document["devices"]["7"].erase("registerType");
            return document.dump();
        }()) << "devices.7.registerType is missing";
        QTest::newRow("misspelt setting") << edit("/rows/II/digit", "3") << "rows.II: unknown setting \"digit\"";
        QTest::newRow("unknown group") << edit("/clock", "{}") << "unknown entry \"clock\"";
        QTest::newRow("row I without digits") << edit("/rows/I/digits", "0") << "rows.I.digits: 0 is outside 1 to 20";
        QTest::newRow("21 digits") << edit("/rows/IV/digits", "21") << "rows.IV.digits: 21 is outside 0 to 20";
        QTest::newRow("digits as text") << edit("/rows/II/digits", "\"5\"") << "rows.II.digits: \"5\" is not a whole number";
        QTest::newRow("digits with a fraction") << edit("/rows/II/digits", "5.5") << "rows.II.digits: 5.5 is not a whole number";
        QTest::newRow("format") << edit("/rows/I/format", "\"0.0000\"") << "rows.I.format: \"0.0000\" is not one of \"0\", \"0.0\", \"0.00\", \"0.000\"";
        QTest::newRow("register") << edit("/rows/I/register", "7650") << "rows.I.register: 7650 is outside 7500 to 7649";
        QTest::newRow("alarm switch") << edit("/rows/I/alarm", "1") << "rows.I.alarm: 1 is neither true nor false";
        QTest::newRow("alarm value") << edit("/rows/II/secondAlarm", "1e39") << "rows.II.secondAlarm: 1e+39 is not a finite single-precision number";
        QTest::newRow("alarm as text") << edit("/rows/II/firstAlarm", "\"0.1\"") << "rows.II.firstAlarm: \"0.1\" is not a number";
        QTest::newRow("level") << edit("/brightness/dayLevel", "101") << "brightness.dayLevel: 101 is outside 0 to 100";
        QTest::newRow("negative level") << edit("/brightness/nightLevel", "-1") << "brightness.nightLevel: -1 is outside 0 to 100";
        QTest::newRow("no hour 24") << edit("/brightness/dayStart", "\"24:00\"") << "brightness.dayStart: \"24:00\" is no time of day";
        QTest::newRow("no minute 60") << edit("/brightness/nightStart", "\"12:60\"") << "is no time of day";
        QTest::newRow("time as number") << edit("/brightness/nightStart", "1260") << "1260 is not a time of day as hh:mm";
        QTest::newRow("time-out beyond") << edit("/deviceLine/replyTimeOutMs", "5100") << "deviceLine.replyTimeOutMs: 5100 is outside 100 to 5000";
        QTest::newRow("time-out between tenths") << edit("/deviceLine/replyTimeOutMs", "150") << "150 is not a whole number of 100 ms";
        QTest::newRow("mode") << edit("/deviceLine/mode", "\"8N2\"") << "deviceLine.mode: \"8N2\" is not one of \"8n1\"";
        QTest::newRow("rate") << edit("/deviceLine/rate", "9601") << "deviceLine.rate: 9601 is not one of 2400, 4800";
        QTest::newRow("device address") << edit("/devices/3/address", "248") << "devices.3.address: 248 is outside 0 to 247";
        QTest::newRow("device switched on") << edit("/devices/3/address", "5") << "devices.3.registerCount: 0 is outside 1 to 10";
        QTest::newRow("basic address") << edit("/devices/1/basicAddress", "-32769") << "devices.1.basicAddress: -32769 is outside -32768 to 65535";
        QTest::newRow("register type") << edit("/devices/1/registerType", "\"7 - double\"") << "devices.1.registerType: \"7 - double\" is not one of";
        QTest::newRow("off device beyond its register") << edit("/devices/1/reviewPeriodS", "65536") << "devices.1.reviewPeriodS: 65536 is outside 0 to 65535";
        QTest::newRow("huge number") << edit("/brightness/dayLevel", "18446744073709551615") << "is outside 0 to 100";
        QTest::newRow("list") << edit("/rows/I/digits", "[[[1]]]") << "rows.I.digits: a list is not a whole number";
        QTest::newRow("long text") << edit("/deviceLine/mode", ("\"" + std::string(5000, 'n') + "\"").c_str())
                                   << ("deviceLine.mode: \"" + QString(40, 'n') + "...\" is not one of");
        QTest::newRow("offset") << edit("/recalibration/I/offset", "-1e40") << "recalibration.I.offset: -1e+40 is not a finite";
        // A key given twice: the last copy would win unseen.
        const QByteArray valid = QByteArray::fromStdString(ValidText());
        QTest::newRow("group twice") << QByteArray(valid).replace("\n  \"rows\": {", "\n  \"brightness\": {},\n  \"rows\": {")
                                     << "the key \"brightness\" appears twice in the top object";
        QTest::newRow("setting twice") << QByteArray(valid).replace("\"digits\": 1,", "\"digits\": 1, \"digits\": 2,")
                                       << "the key \"digits\" appears twice in the object rows.I";
        QTest::newRow("header twice") << QByteArray(valid).replace("\"version\": 1,", "\"version\": 1, \"version\": 1,")
                                      << "the key \"version\" appears twice in the top object";
        QTest::newRow("whole number with a point") << edit("/brightness/dayLevel", "75.0")
                                                   << "brightness.dayLevel: 75.0 is not a whole number as written; write 75";
        QTest::newRow("time-out with a point") << edit("/deviceLine/replyTimeOutMs", "1000.0")
                                               << "1000.0 is not a whole number as written; write 1000";
        QTest::newRow("version with a point") << edit("/version", "1.0")
                                              << "the version 1.0 is not a whole number; profiles have version 1";
        const QString wide = QString::fromUtf8(valid);
        const QByteArray little(reinterpret_cast<const char*>(wide.utf16()), wide.size() * 2);
        QByteArray big;
        for (int k = 0; k < little.size(); k += 2)
            big.append(little[k + 1]).append(little[k]);
        QTest::newRow("UTF-16 LE with its mark") << QByteArray("\xFF\xFE") + little << "the file is UTF-16; save it as UTF-8";
        QTest::newRow("UTF-16 BE with its mark") << QByteArray("\xFE\xFF") + big << "the file is UTF-16; save it as UTF-8";
        QTest::newRow("UTF-16 without a mark") << little << "the file is UTF-16; save it as UTF-8";
    }
    void damagedFilesAreRefusedByName()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, refusal);
        std::string why;
        QVERIFY(!Read(text.toStdString(), &why));
        QVERIFY2(QString::fromStdString(why).contains(refusal), why.c_str());
    }

    void editsWithinTheRulesAreTaken()
    {
        Json document = Json::parse(ValidText());
        document["rows"]["II"]["digits"] = 0;
        document["brightness"]["dayStart"] = "6:30";
        document["deviceLine"]["replyTimeOutMs"] = 5000;
        document["deviceLine"]["rate"] = 76800;
        document["devices"]["2"] = {{"address", 247}, {"basicAddress", -1}, {"registerCount", 10},
                                    {"registerType", "5 - unsigned long"}, {"reviewPeriodS", 60}};
        // A switched-off device may keep anything its registers hold.
        document["devices"]["9"] = {{"address", 0}, {"basicAddress", 65535}, {"registerCount", 0},
                                    {"registerType", 12}, {"reviewPeriodS", 0}};
        std::string refusal;
        const auto read = Read(document.dump(), &refusal);
        QVERIFY2(read, refusal.c_str());
        QCOMPARE(read->registers.Get(4010), 0u);
        QCOMPARE(read->registers.Get(4027), 630u);
        QCOMPARE(read->registers.Get(4003), 50u);
        QCOMPARE(read->registers.Get(4005), 8u);
        const std::uint32_t device2[] = {247, 65535, 10, 5, 60}, device9[] = {0, 65535, 0, 12, 0};
        for (unsigned k = 0; k < 5; ++k) {
            QCOMPARE(read->registers.Get(4305 + k), device2[k]);
            QCOMPARE(read->registers.Get(4340 + k), device9[k]);
        }
        // Written again, each value as the windows show it.
        const Json again = Json::parse(profile::WriteProfileText(*read, "test"));
        QCOMPARE(again["brightness"]["dayStart"], Json("06:30"));
        QCOMPARE(again["devices"]["2"]["basicAddress"], Json(65535));
        QCOMPARE(again["devices"]["9"]["registerType"], Json(12));
        QCOMPARE(again["deviceLine"]["mode"], Json("8n1"));
    }

    // ---- against displays

    void aProfileCarriesOverBitForBit()
    {
        Bench first, second;
        Configure(*first.display);
        // The second unit's own line and flags, which no profile may touch.
        second.display->SetRegister(4029, 0xC100);
        second.display->SetRegister(4030, 0x8201);
        profile::Profile read;
        auto reading = first.Transfer();
        QCOMPARE(reading.Read(&read), Outcome::Done);
        // Through the file, as vtctl carries it.
        std::string refusal;
        const auto loaded = profile::ReadProfileText(profile::WriteProfileText(read, "test"), &refusal);
        QVERIFY2(loaded, refusal.c_str());
        second.display->ClearFrames();
        auto writing = second.Transfer();
        QCOMPARE(writing.Write(*loaded), Outcome::Done);
        QVERIFY(writing.Problems().empty());
        for (const profile::Setting& setting : profile::Settings())
            QVERIFY2(second.display->Register(setting.reg) == first.display->Register(setting.reg),
                     setting.Path().c_str());
        QCOMPARE(second.display->Register(7610), FloatToBits(0.1f));
        QCOMPARE(second.display->Register(7611), FloatToBits(-3.4E38f));
        QCOMPARE(second.display->Register(7616), FloatToBits(-0.0f));
        QCOMPARE(second.display->Register(4029), 0xC100u);
        QCOMPARE(second.display->Register(4030), 0x8201u);
        QCOMPARE(second.display->Register(4000), 1u);
        QCOMPARE(second.display->Register(4001), 1u);
        QCOMPARE(second.display->Register(4002), 2u);
        const QString forbidden = ForbiddenWrite(second.display->Frames());
        QVERIFY2(forbidden.isEmpty(), qPrintable(forbidden));
        // Nothing to tell apart afterwards.
        std::vector<profile::Difference> differences {{nullptr, 0, 0}};
        QCOMPARE(second.Transfer().Compare(*loaded, &differences), Outcome::Done);
        QVERIFY(differences.empty());
    }

    void theReadBackCatchesWhatTheDisplayDidNotKeep_data()
    {
        QTest::addColumn<int>("reg");
        QTest::addColumn<QString>("problem");
        QTest::newRow("16-bit") << 4025 << "brightness.dayLevel: wrote 80, the display keeps 81";
        QTest::newRow("32-bit") << 7611 << "rows.I.secondAlarm: wrote 100, the display keeps 100.00001";
        QTest::newRow("device") << 4349 << "devices.10.reviewPeriodS: wrote 0, the display keeps 1";
    }
    void theReadBackCatchesWhatTheDisplayDidNotKeep()
    {
        QFETCH(int, reg);
        QFETCH(QString, problem);
        Bench bench;
        profile::Profile wanted;
        QCOMPARE(bench.Transfer().Read(&wanted), Outcome::Done);
        bench.display->InjectFault({FaultKind::AlterWrite, reg, true});
        auto transfer = bench.Transfer();
        QCOMPARE(transfer.Write(wanted), Outcome::Failed);
        QCOMPARE(transfer.Problems().size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(transfer.Problems()[0]), problem);
    }

    void aRefusedWriteStopsThatDisplay()
    {
        Bench bench;
        profile::Profile wanted;
        QCOMPARE(bench.Transfer().Read(&wanted), Outcome::Done);
        bench.display->InjectFault({FaultKind::RefuseWrite, 4310, true});
        bench.display->ClearFrames();
        auto transfer = bench.Transfer();
        std::vector<profile::GroupResult> groups;
        QCOMPARE(transfer.Write(wanted, &groups), Outcome::Failed);
        QCOMPARE(transfer.Problems(), std::vector<std::string> {"writing devices: refused with exception 3"});
        QStringList states;
        for (const profile::GroupResult& group : groups)
            states << QString("%1 %2").arg(profile::GroupName(group.group), QString::fromStdString(group.words));
        QCOMPARE(states, (QStringList {"rows written and verified", "brightness written and verified",
                                       "deviceLine written and verified", "devices refused with exception 3",
                                       "recalibration not written"}));
        // Each group read back before the next is written; nothing of the recalibration sent.
        for (const sim::ReceivedFrame& frame : bench.display->Frames())
            QVERIFY(frame.bytes[1] != 16 || (frame.bytes[2] << 8 | frame.bytes[3]) < 7643);
    }

    void eachDisplayOfAWriteTellsItsGroups()
    {
        // Display 2 refuses the devices; the fault is set as it is reached.
        sim::SimDisplay::Options options;
        options.moreAddresses = {2, 3};
        Bench bench(options);
        profile::Profile wanted = Minimal();
        wanted.registers.Set(4025, 66);
        bench.display->SetRegister(2, 4025, 12);
        QTemporaryDir backups;
        profile::WriteObserver observer;
        observer.starting = [&](std::size_t index) {
            if (index == 1)
                bench.display->InjectFault({FaultKind::RefuseWrite, 4310, false});
        };
        profile::WriteOptions writeOptions;
        writeOptions.backupFolder = backups.path().toStdString();
        const auto results = profile::WriteToEach(bench.line, wanted, {1, 2, 3}, observer, writeOptions);
        QCOMPARE(results.size(), std::size_t(3));
        QCOMPARE(results[1].outcome, Outcome::Failed);
        const std::string line = profile::WriteReport(results[1]);
        QCOMPARE(QString::fromStdString(line.substr(0, line.find(" (the display"))),
                 QStringLiteral("display 2: rows, brightness, deviceLine written and verified; devices refused with "
                                "exception 3; recalibration not written"));
        QVERIFY(QString::fromStdString(line).endsWith(
            QString::fromStdString("(the display now holds part of the profile; its settings before: " + results[1].backup + ")")));
        QCOMPARE(results[2].outcome, Outcome::Done);
        // The line's image holds what display 2 read back, and its devices as the display has them.
        QCOMPARE(bench.line.image.Get(4025), 66u);
        QCOMPARE(bench.line.image.Get(4310), bench.display->Register(2, 4310));
        // Its change, as read before and after.
        const auto dayLevel = std::find_if(results[1].changes.begin(), results[1].changes.end(),
                                           [](const profile::Change& change) { return change.setting->reg == 4025; });
        QVERIFY(dayLevel != results[1].changes.end());
        QCOMPARE(dayLevel->before, 12u);
        QVERIFY(dayLevel->readBack);
        QCOMPARE(dayLevel->after, 66u);
        // Its backup is the display as it was.
        std::string refusal;
        const auto kept = LoadProfileFile(results[1].backup, &refusal);
        QVERIFY2(kept, refusal.c_str());
        QCOMPARE(kept->registers.Get(4025), 12u);
    }

    void theSummaryCountsEachDisplayOnce_data()
    {
        QTest::addColumn<QList<int>>("outcomes");  // Outcome, negative: not attempted
        QTest::addColumn<QString>("summary");
        const int done = int(Outcome::Done), failed = int(Outcome::Failed), noReply = int(Outcome::NoReply),
                  lost = int(Outcome::PortLost), cancelled = int(Outcome::Cancelled);
        QTest::newRow("all") << QList<int> {done, done} << "2 of 2 displays written and verified";
        QTest::newRow("one failed") << QList<int> {done, failed} << "1 of 2 displays written and verified, 1 failed";
        QTest::newRow("no reply is failed") << QList<int> {noReply} << "0 of 1 display written and verified, 1 failed";
        QTest::newRow("port lost") << QList<int> {done, lost, -lost}
                                   << "1 of 3 displays written and verified, 1 failed, 1 not written (the port lost)";
        QTest::newRow("cancelled") << QList<int> {failed, -cancelled, -cancelled}
                                   << "0 of 3 displays written and verified, 1 failed, 2 not written (cancelled)";
    }
    void theSummaryCountsEachDisplayOnce()
    {
        QFETCH(QList<int>, outcomes);
        QFETCH(QString, summary);
        std::vector<profile::DisplayResult> results;
        for (int outcome : outcomes) {
            profile::DisplayResult result {1, Outcome(outcome < 0 ? -outcome : outcome), {}, {}, {}, false, {}};
            result.attempted = outcome >= 0;
            results.push_back(result);
        }
        QCOMPARE(QString::fromStdString(profile::WriteSummary(results)), summary);
    }

    void sha256OfKnownTexts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << QByteArray() << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        QTest::newRow("abc") << QByteArray("abc") << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
        QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                    << "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
        QTest::newRow("a million") << QByteArray(1000000, 'a')
                                   << "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    }
    void sha256OfKnownTexts()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, digest);
        QCOMPARE(QString::fromStdString(profile::Sha256Hex(text.toStdString())), digest);
        // Every length around the block's edges, against Qt's.
        if (text == "abc")
            for (int length = 50; length < 140; ++length) {
                const QByteArray bytes(length, char(length));
                QCOMPARE(QString::fromStdString(profile::Sha256Hex(bytes.toStdString())),
                         QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
            }
    }

    void theReportEscapesAndHoldsTheValues()
    {
        profile::WriteSession session;
        session.profilePath = "<panel & \"co\">.json";
        session.port = "COM 1";
        session.mode = "8n2";
        session.rate = 9600;
        const profile::Setting* mode = profile::SettingAt(4004);
        profile::DisplayResult result {4, Outcome::Done, {}, {}, "/b/display-4.json", true, {}};
        for (profile::Group group : profile::kGroups)
            result.groups.push_back({group, profile::GroupState::Verified, "written and verified"});
        result.changes.push_back({mode, 0, 1, true, 1});
        session.results = {result};
        const QString page = QString::fromStdString(profile::ReportHtml(session));
        QVERIFY(page.contains(QLatin1String("&lt;panel &amp; &quot;co&quot;&gt;.json")));
        QVERIFY(!page.contains(QLatin1String("<panel")));
        QVERIFY(page.contains(QLatin1String("<td>deviceLine</td><td>mode</td><td>&quot;8n1&quot;</td><td>&quot;8n2&quot;</td><td>&quot;8n2&quot;</td>")));
        QVERIFY(page.contains(QLatin1String("@page { size: A4")));
        const profile::Json record = profile::RecordJson(session);
        QCOMPARE(record["displays"][0]["changes"][0],
                 Json({{"group", "deviceLine"}, {"setting", "mode"}, {"before", "8n1"}, {"wanted", "8n2"}, {"after", "8n2"}}));
        QCOMPARE(record["profile"]["sha256"], Json(profile::Sha256Hex("")));
    }

    // Windows opens the device such a name names, whatever its folder and extension.
    void namesThatAreDevicesOnWindows_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("device");
        QTest::newRow("a COM port with an extension") << "com5.json" << "COM5";
        QTest::newRow("in a folder") << "C:\\work\\Nul.txt" << "NUL";
        QTest::newRow("a blank before the dot") << "lpt1 .json" << "LPT1";
        QTest::newRow("a part file beside it") << "con.json.part" << "CON";
        QTest::newRow("a longer name") << "com5-panel.json" << "";
        QTest::newRow("COM0 is none") << "com0.json" << "";
        QTest::newRow("COM10 is none") << "com10.json" << "";
        QTest::newRow("a folder named so") << "nul/panel.json" << "";
    }

    void namesThatAreDevicesOnWindows()
    {
        QFETCH(QString, path);
        QFETCH(QString, device);
        QCOMPARE(QString::fromStdString(WindowsDeviceName(path.toStdString()).value_or("")), device);
    }

    void profileFilesOnDisk()
    {
        QTemporaryDir folder;
        const std::string path = folder.filePath("panel.json").toStdString();
        std::string error, refusal;
        QVERIFY(SaveProfileFile(path, "old", &error));
        // Replaced in one step: no moment without the file, nothing left beside it.
        QVERIFY2(SaveProfileFile(path, ValidText(), &error), error.c_str());
        std::string bytes;
        QVERIFY(LoadProfileFile(path, &refusal, &bytes));
        QCOMPARE(bytes, ValidText());
        QVERIFY(!QFile::exists(QString::fromStdString(path + ".part")));
        // Names beyond ASCII.
        const std::string wide = folder.filePath(QString::fromUtf8("日本.json")).toStdString();
        QVERIFY2(SaveProfileFile(wide, ValidText(), &error), error.c_str());
        QVERIFY2(LoadProfileFile(wide, &refusal), refusal.c_str());
        // What is no regular file is refused, and a FIFO without waiting for a writer.
        const std::string fifo = folder.filePath("fifo").toStdString();
        QCOMPARE(mkfifo(fifo.c_str(), 0600), 0);
        QVERIFY(!LoadProfileFile(fifo, &refusal));
        QCOMPARE(refusal, fifo + ": not a regular file (a named pipe)");
        QVERIFY(!LoadProfileFile(folder.path().toStdString(), &refusal));
        QCOMPARE(refusal, folder.path().toStdString() + ": a folder, not a file");
        QVERIFY(!LoadProfileFile(folder.filePath("none.json").toStdString(), &refusal));
        QVERIFY(QString::fromStdString(refusal).startsWith("cannot read "));
        // A backup's name, and one written twice within a second.
        QCOMPARE(profile::BackupFileName(7, 0).substr(0, 10), std::string("display-7-"));
        const std::string first = profile::SaveBackup(folder.filePath("b").toStdString(), 7, Minimal(), 1000, &error);
        const std::string second = profile::SaveBackup(folder.filePath("b").toStdString(), 7, Minimal(), 1000, &error);
        QVERIFY(!first.empty() && !second.empty() && first != second);
        QVERIFY(QString::fromStdString(second).endsWith("-2.json"));
    }

    void aGroupThatCannotBeReadWritesNoProfile()
    {
        Bench bench;
        profile::Profile untouched;
        untouched.registers.Set(4006, 9);
        // The rows refused, and a value in row III no window could have written.
        bench.display->InjectFault({FaultKind::Exception, 2});
        bench.display->SetRegister(4015, 7);
        bench.display->SetRegister(4027, 2460);
        auto transfer = bench.Transfer();
        QCOMPARE(transfer.Read(&untouched), Outcome::Failed);
        QCOMPARE(transfer.Problems(), (std::vector<std::string> {"reading rows: refused with exception 2",
                                                                 "brightness.dayStart: \"24:60\" is no time of day"}));
        QCOMPARE(untouched.registers.Get(4006), 9u);
        QCOMPARE(transfer.Read(&untouched), Outcome::Failed);
        QCOMPARE(transfer.Problems().front(), std::string("rows.III.format: 7 is outside 0 to 3"));
        // A display that does not answer.
        bench.display->InjectFault({FaultKind::Silent, 0, true});
        QCOMPARE(transfer.Read(&untouched), Outcome::NoReply);
        QCOMPARE(transfer.Problems(), std::vector<std::string> {"reading rows: no reply"});
    }

    void comparingListsExactlyTheChangedSettings()
    {
        Bench bench;
        Configure(*bench.display);
        profile::Profile wanted;
        QCOMPARE(bench.Transfer().Read(&wanted), Outcome::Done);
        bench.display->SetRegister(4027, 745);
        bench.display->SetRegisterFloat(7644, 2.5f);
        bench.display->SetRegister(4310, 5);
        // Registers of no profile: the flags, an unused coefficient, the clock.
        bench.display->SetRegister(4029, 0x8000);
        bench.display->SetRegisterFloat(7645, 9.0f);
        bench.display->AdvanceClock(std::chrono::hours(30));
        std::vector<profile::Difference> differences;
        QCOMPARE(bench.Transfer().Compare(wanted, &differences), Outcome::Done);
        QStringList listed;
        for (const profile::Difference& difference : differences)
            listed << QString::fromStdString(difference.setting->Path() + " "
                                             + profile::ValueText(*difference.setting, difference.display) + " "
                                             + profile::ValueText(*difference.setting, difference.wanted));
        QCOMPARE(listed, (QStringList {"brightness.dayStart \"07:45\" \"06:30\"", "devices.3.address 5 0",
                                       "recalibration.I.offset 2.5 -273.15"}));
    }
};

QTEST_GUILESS_MAIN(ProfileTest)
#include "tst_profile.moc"
