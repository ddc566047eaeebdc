// The option record: stored form of every layout version, conversions,
// copying, defaults, change notices and log file names.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ECoreOptions.h"
#include "SysUtils.h"

using namespace qov;
using namespace qov::exceptions;

namespace {

// Counts change notices; ModuleFile "own" stands for the module running the code.
class TCountingOptions : public TZephraModuleOptions {
public:
    explicit TCountingOptions(bool saveShared = true)
        : TZephraModuleOptions("own", saveShared, [](const std::string& f) { return f == "own"; })
    {
    }
    void OptionsChanged() override { ++Notices; }
    int Notices = 0;
};

bool Bit(uint32_t value, int n) { return (value >> n) & 1; }
bool MaskBit(const TSectionMask& m, int n) { return (m[n / 8] >> (n % 8)) & 1; }

// The stored form written field by field for one layout version, as the
// versions of the library wrote it.
class TEncoder {
public:
    std::string Bytes;
    void U8(uint32_t v) { Bytes += static_cast<char>(v); }
    void U16(uint32_t v) { U8(v & 0xFF); U8(v >> 8); }
    void I32(int32_t v) { U16(static_cast<uint32_t>(v) & 0xFFFF); U16(static_cast<uint32_t>(v) >> 16); }
    void Text(const std::string& s)
    {
        I32(static_cast<int32_t>(s.size()));
        for (char c : s)
            U8(static_cast<uint8_t>(c) ^ 0x5D);
    }

    // Layouts below 500 held 32 show bits: new 0-3 = old 0-3, new 4-18 =
    // old 5-19, new 19-22 = old 23-26; old bits 4, 20-22 and 27-31 were items
    // since dropped (written set here, they must not come back).
    void OldMask(const TSectionMask& m)
    {
        uint32_t old = 1u << 4 | 7u << 20 | 31u << 27;
        for (int n = 0; n < 23; ++n) {
            const int from = n < 4 ? n : n < 19 ? n + 1 : n + 4;
            old |= uint32_t(MaskBit(m, n)) << from;
        }
        I32(static_cast<int32_t>(old));
    }

    void Write(const TZephraModuleOptions& o, unsigned v)
    {
        U8(o.LogSwitch());
        U8(o.HandleSwitch());
        U8(o.LogFlags());
        if (v < 500)
            U8(Bit(o.DialogFlags(), 0) ^ (v < 450));  // once stored inverted
        U8(o.AppendToLog());
        if (v >= 450 && v < 500) {
            U8(Bit(o.SendFlags(), 2));
            U8(Bit(o.SendFlags(), 4));
            U8(Bit(o.SendFlags(), 0));
        }
        if (v >= 401) {
            U8(o.SaveLog());
            U8(o.StartTab());
        }
        if (v >= 403 && v < 500)
            U8(Bit(o.DialogFlags(), 7));
        if (v >= 420) {
            U8(o.FreezeCheck());
            I32(v < 422 ? o.FreezeSeconds() * 1000 : o.FreezeSeconds());
            Text(o.FreezeText());
            if (v >= 450)
                Text(o.SmtpSender());
            Text(o.SmtpServer());
        }
        if (v >= 450)
            U16(o.SmtpPortNumber());
        if (v >= 421) {
            Text(o.SmtpUser());
            Text(o.SmtpPass());
            U8(o.TerminateMode());
        }
        U8(o.TerminateButtonShown());
        I32(o.KeepReports());
        I32(o.ErrorsBeforeTerminate());
        Text(o.MailTo());
        Text(o.MailTitle());
        U8(v < 450 ? o.MailMode() != 0 : o.MailMode());
        if (v >= 500) {
            for (uint8_t b : o.SectionMask())
                U8(b);
        } else {
            OldMask(o.SectionMask());
        }
        if (v < 450)
            U8(0xEE);
        Text(o.LogFolder());
        if (v >= 500) {
            U8(o.UploadMode());
            Text(o.UploadAddress());
            Text(o.UploadUser());
            Text(o.UploadPass());
            I32(o.UploadPortNumber());
            Text(o.ExtraFiles());
            U16(o.SendFlags());
            U8(o.DialogFlags());
            I32(o.DialogCloseSeconds());
            Text(o.HelpPageAddress());
            Text(o.HtmlTemplate());
            U8(o.StackFlags());
            U8(o.BehaviourFlags());
            U8(o.CrashAction());
            I32(o.CrashCount());
            I32(o.CrashMinutes());
        }
        const int n = std::max(o.FilterClasses().Count(), o.FilterMessages().Count());
        I32(n);
        for (int i = 0; i < n; ++i) {
            Text(i < o.FilterClasses().Count() ? o.FilterClasses()[i] : "");
            Text(i < o.FilterMessages().Count() ? o.FilterMessages()[i] : "");
        }
        Text(o.MailBody());
        for (int i = 0; i < CustomTextCount; ++i)
            if (TextInLayout(i, v))
                Text(o.GetCustomText(i));
    }

    static bool TextInLayout(int i, unsigned v)
    {
        auto in = [i](std::initializer_list<std::pair<int, int>> ranges) {
            for (auto [a, b] : ranges)
                if (i >= a && i <= b)
                    return true;
            return false;
        };
        if (in({{12, 13}, {21, 21}, {27, 27}, {46, 48}, {54, 61}, {68, 74}, {89, 89}, {94, 95}}))
            return v >= 500;
        if (in({{8, 11}, {18, 20}, {26, 26}, {41, 41}, {52, 52}, {75, 95}}))
            return v >= 450;
        return i == 16 ? v >= 421 : i == 17 ? v >= 420 : true;
    }
};

// Every option away from its default (bytes that are no booleans included).
void FillSample(TZephraModuleOptions& o)
{
    o.SetLogSwitch(2); o.SetHandleSwitch(0); o.SetLogFlags(0x2A); o.SetAppendToLog(1);
    o.SetSaveLog(0); o.SetStartTab(3); o.SetFreezeCheck(true); o.SetFreezeSeconds(7);
    o.SetFreezeText("Hung"); o.SetSmtpSender("from@example.org"); o.SetSmtpServer("smtp.example.org");
    o.SetSmtpPortNumber(587); o.SetSmtpUser("user"); o.SetSmtpPass("pass"); o.SetTerminateMode(0);
    o.SetTerminateButtonShown(0); o.SetKeepReports(5); o.SetErrorsBeforeTerminate(-2);
    o.SetMailTo("to@example.org"); o.SetMailTitle("Title"); o.SetMailMode(3);
    o.SetSectionMask({0x5A, 0xC3, 0x3C, 0xA5, 0x0F}); o.SetLogFolder("C:\\Logs");
    o.SetUploadMode(2); o.SetUploadAddress("up.example.org"); o.SetUploadUser("uu");
    o.SetUploadPass("pp"); o.SetUploadPortNumber(8080); o.SetExtraFiles("a.txt;b.txt");
    o.SetSendFlags(0x1234); o.SetDialogFlags(0x82); o.SetDialogCloseSeconds(30);
    o.SetHelpPageAddress("http://help.example.org"); o.SetHtmlTemplate("<p><%HTML_TAG%></p>");
    o.SetStackFlags(0x13); o.SetBehaviourFlags(0x41); o.SetCrashAction(2); o.SetCrashCount(4);
    o.SetCrashMinutes(9); o.SetMailBody("Body");
    o.FilterClasses().Add("EAccessViolation");
    o.FilterMessages().Add("Access violation");
    for (int i = 0; i < CustomTextCount; ++i)
        o.SetCustomText(i, "Text " + std::to_string(i));
}

// What a record of defaults holds after reading source's form of version v.
void ExpectAfterRead(const TZephraModuleOptions& src, unsigned v, TZephraModuleOptions& e)
{
    TOptionsMemoryStream all;
    src.WriteToStream(all);
    TOptionsMemoryStream copy(all.Bytes());
    e.ReadFromStream(copy, LibraryOptionsVersion);  // everything, then undo what v lacks
    TZephraModuleOptions d("", false);
    if (v < 500) {
        for (int i = 0; i < CustomTextCount; ++i)
            if (!TEncoder::TextInLayout(i, v))
                e.SetCustomText(i, d.GetCustomText(i));
        TSectionMask m = src.SectionMask();
        m[2] |= 0x80;         // bit 23 onwards: byte 4 of the defaults
        m[3] = 0x7F;
        m[4] = 0;
        e.SetSectionMask(m);
        e.SetUploadMode(d.UploadMode()); e.SetUploadAddress(d.UploadAddress());
        e.SetUploadUser(d.UploadUser()); e.SetUploadPass(d.UploadPass());
        e.SetUploadPortNumber(d.UploadPortNumber()); e.SetExtraFiles(d.ExtraFiles());
        e.SetDialogCloseSeconds(d.DialogCloseSeconds()); e.SetHelpPageAddress(d.HelpPageAddress());
        e.SetHtmlTemplate(d.HtmlTemplate()); e.SetStackFlags(d.StackFlags());
        e.SetBehaviourFlags(d.BehaviourFlags()); e.SetCrashAction(d.CrashAction());
        e.SetCrashCount(d.CrashCount()); e.SetCrashMinutes(d.CrashMinutes());
        // Only the single flags of the layout reach the flag fields.
        const uint8_t dialogBits = v >= 403 ? 0x81 : 0x01;
        e.SetDialogFlags(static_cast<uint8_t>((d.DialogFlags() & ~dialogBits) | (src.DialogFlags() & dialogBits)));
        const uint16_t sendBits = v >= 450 ? 0x15 : 0;
        e.SetSendFlags(static_cast<uint16_t>((d.SendFlags() & ~sendBits) | (src.SendFlags() & sendBits)));
    }
    if (v < 450) {
        e.SetSmtpSender(d.SmtpSender());
        e.SetSmtpPortNumber(d.SmtpPortNumber());
        e.SetMailMode(v >= 420 ? 2 : 1);  // SMTP when a server was given
    }
    if (v < 421) {
        e.SetSmtpUser(d.SmtpUser()); e.SetSmtpPass(d.SmtpPass()); e.SetTerminateMode(d.TerminateMode());
    }
    if (v < 420) {
        e.SetFreezeCheck(d.FreezeCheck()); e.SetFreezeSeconds(d.FreezeSeconds());
        e.SetFreezeText(d.FreezeText()); e.SetSmtpServer(d.SmtpServer());
    }
    if (v < 401) {
        e.SetSaveLog(d.SaveLog()); e.SetStartTab(d.StartTab());
    }
}

std::string Scrambled(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(c ^ 0x5D);
    return s;
}

std::string Stored(const TZephraModuleOptions& o)
{
    TOptionsMemoryStream s;
    o.WriteToStream(s);
    return s.Bytes();
}

} // namespace

TEST(ModuleOptionsStream, WrittenFormIsTheTableInOrder)
{
    TZephraModuleOptions o("", false);
    TEncoder defaults;
    defaults.Write(o, LibraryOptionsVersion);
    EXPECT_EQ(Stored(o), defaults.Bytes);

    FillSample(o);
    TEncoder sample;
    sample.Write(o, LibraryOptionsVersion);
    EXPECT_EQ(Stored(o), sample.Bytes);
}

TEST(ModuleOptionsStream, EveryLayoutVersionReadsIntoTheRecord)
{
    TZephraModuleOptions src("", false);
    FillSample(src);
    for (unsigned v : {400u, 420u, 421u, 422u, 449u, 450u, 499u, 500u, 5110u}) {
        SCOPED_TRACE(v);
        TEncoder enc;
        enc.Write(src, v);
        TOptionsReadStream in(enc.Bytes.data(), enc.Bytes.size());
        TZephraModuleOptions r("", false);
        r.ReadFromStream(in, static_cast<uint16_t>(v));
        EXPECT_EQ(in.Remaining(), 0u);

        TZephraModuleOptions e("", false);
        ExpectAfterRead(src, v, e);
        EXPECT_EQ(Stored(r), Stored(e));
        EXPECT_EQ(r.FreezeSeconds(), v >= 420 ? 7 : 60);
        EXPECT_EQ(r.MailMode(), v >= 450 ? 3 : v >= 420 ? 2 : 1);
        for (int n = 31; n < 40; ++n)
            EXPECT_EQ(MaskBit(r.SectionMask(), n), v >= 500 && MaskBit(src.SectionMask(), n)) << n;
    }
}

TEST(ModuleOptionsStream, OldFlagAndTimeConversions)
{
    auto read = [](unsigned v, const std::string& bytes) {
        auto r = std::make_unique<TZephraModuleOptions>("", false);
        TOptionsMemoryStream in(bytes);
        r->ReadFromStream(in, static_cast<uint16_t>(v));
        return r;
    };
    // The single dialog flag after LogFlags, stored as 0: before 450 it was
    // kept inverted.
    TZephraModuleOptions src("", false);
    for (unsigned v : {449u, 450u}) {
        TEncoder enc;
        enc.Write(src, v);
        enc.Bytes[3] = 0;
        EXPECT_EQ(read(v, enc.Bytes)->DialogFlags() & 1, v == 449 ? 1 : 0) << v;
    }
    // 421 and 422 share a layout; 421 kept milliseconds.
    src.SetFreezeSeconds(5000);
    TEncoder enc;
    enc.Write(src, 422);
    EXPECT_EQ(read(421, enc.Bytes)->FreezeSeconds(), 5);
    EXPECT_EQ(read(422, enc.Bytes)->FreezeSeconds(), 5000);
}

TEST(ModuleOptionsStream, TextsLoseOnlyAClosingSoleLineBreak)
{
    TZephraModuleOptions o("", false);
    o.SetMailBody("Only line\r\n");
    o.SetMailTitle("a\r\nb\r\n");
    o.SetMailTo("\r\n");
    o.SetLogFolder("\n");
    TOptionsMemoryStream s(Stored(o));
    TZephraModuleOptions r("", false);
    r.SetMailTo("x");
    r.ReadFromStream(s, LibraryOptionsVersion);
    EXPECT_EQ(r.MailBody(), "Only line");
    EXPECT_EQ(r.MailTitle(), "a\r\nb\r\n");
    EXPECT_EQ(r.MailTo(), "");
    EXPECT_EQ(r.LogFolder(), "\n");
    EXPECT_EQ(r.GetCustomText(3), DefaultTexts[3]);  // a break inside stays
}

TEST(ModuleOptionsStream, FilterPairsFollowTheLongerList)
{
    TZephraModuleOptions o("", false);
    for (const char* c : {"EA", "EB", "EC"})
        o.FilterClasses().Add(c);
    o.FilterMessages().Add("only");
    TZephraModuleOptions blank("", false);
    const std::string stored = Stored(o);
    const std::string without = Stored(blank);
    // N = 3, then EA "only" EB "" EC "": 3 * 8 bytes of counts, 10 text bytes.
    EXPECT_EQ(stored.size(), without.size() + 3 * 8 + 10);
    TOptionsMemoryStream in(stored);
    TZephraModuleOptions r("", false);
    r.FilterMessages().Add("stale");
    r.ReadFromStream(in, LibraryOptionsVersion);
    ASSERT_EQ(r.FilterClasses().Count(), 3);
    ASSERT_EQ(r.FilterMessages().Count(), 3);
    EXPECT_EQ(r.FilterClasses()[2], "EC");
    EXPECT_EQ(r.FilterMessages()[0], "only");
    EXPECT_EQ(r.FilterMessages()[1], "");
    EXPECT_EQ(r.FilterMessages()[2], "");
}

TEST(ModuleOptionsStream, ShortOrDamagedDataStopsAndKeepsTheRest)
{
    TZephraModuleOptions src("", false);
    FillSample(src);
    const std::string full = Stored(src);
    for (size_t cut = 0; cut < full.size(); ++cut) {
        TOptionsReadStream in(full.data(), cut);
        TZephraModuleOptions r("", false);
        r.ReadFromStream(in, LibraryOptionsVersion);
        ASSERT_EQ(r.GetCustomText(95), DefaultTexts[95]) << cut;  // the last field is never reached
    }
    // Cut inside LogFolder's text: the fields before it are read, the rest keep.
    const size_t logFolderAt = full.find(Scrambled("C:\\Logs")) - 4;
    TOptionsReadStream in(full.data(), logFolderAt + 6);
    TZephraModuleOptions r("", false);
    r.ReadFromStream(in, LibraryOptionsVersion);
    EXPECT_EQ(r.SectionMask(), src.SectionMask());
    EXPECT_EQ(r.LogFolder(), "");
    EXPECT_EQ(r.CrashCount(), 10);
    EXPECT_EQ(in.Remaining(), 2u);

    // A negative count is an empty text; a huge one reads nothing.
    std::string bad = full;
    const size_t freezeText = full.find(Scrambled("Hung")) - 4;
    bad.replace(freezeText, 4, "\xFF\xFF\xFF\xFF");
    TOptionsMemoryStream neg(bad);
    TZephraModuleOptions n("", false);
    n.ReadFromStream(neg, LibraryOptionsVersion);
    EXPECT_EQ(n.FreezeText(), "");
    bad.replace(freezeText, 4, "\xFF\xFF\xFF\x7F");
    TOptionsMemoryStream huge(bad);
    TZephraModuleOptions h("", false);
    h.ReadFromStream(huge, LibraryOptionsVersion);
    EXPECT_EQ(h.FreezeText(), "The application seems to be frozen.");
    EXPECT_EQ(h.SmtpSender(), DefaultSmtpSender);
}

TEST(ModuleOptions, KeepReportsZeroOnlyFromAStream)
{
    TZephraModuleOptions o("", false);
    o.SetKeepReports(0);
    EXPECT_EQ(o.KeepReports(), 1);
    TZephraModuleOptions src("", false);
    src.SetKeepReports(0x0BADF00D);
    std::string bytes = Stored(src);
    bytes.replace(bytes.find("\x0D\xF0\xAD\x0B"), 4, std::string(4, '\0'));
    TOptionsMemoryStream in(bytes);
    src.ReadFromStream(in, LibraryOptionsVersion);
    EXPECT_EQ(src.KeepReports(), 0);
    o.CopyOptions(&src);
    EXPECT_EQ(o.KeepReports(), 1);
}

TEST(ModuleOptions, CopyTakesEveryOptionButTheMasterSwitchAndNames)
{
    TCountingOptions target;
    EXPECT_THROW(
        {
            try {
                target.CopyOptions(nullptr);
            } catch (const EConvertError& e) {
                EXPECT_STREQ(e.what(), "Impossible to assign nil as TZephraModuleOptions.");
                throw;
            }
        },
        EConvertError);
    target.Notices = 0;
    target.CopyOptions(&target);
    EXPECT_EQ(target.Notices, 0);

    TZephraModuleOptions src("other.dll", false);
    FillSample(src);
    src.SetHandlerActive(false);
    target.CopyOptions(&src);
    EXPECT_EQ(target.Notices, 1);
    EXPECT_EQ(Stored(target), Stored(src));
    EXPECT_TRUE(target.HandlerActive());
    EXPECT_EQ(target.ModuleFile(), "own");
    EXPECT_TRUE(target.SaveShared());

    target.FilterClasses().Add("kept");
    target.SetHandlerActive(false);
    target.ResetToDefaults();
    EXPECT_EQ(Stored(target).substr(0, 3), std::string("\x00\x01\x30", 3));
    EXPECT_EQ(target.FilterClasses().Count(), 2);
    EXPECT_TRUE(target.HandlerActive());
    EXPECT_EQ(target.GetCustomText(5), "General Information");
    EXPECT_EQ(target.GetCustomText(96), "");
}

TEST(ModuleOptions, NoticesOnlyOutsideChangesForTheSharedOwnRecord)
{
    TCountingOptions own;
    EXPECT_EQ(own.ChangeDepth(), 0);
    own.SetMailTo("a");
    own.FilterMessages().Add("m");
    own.SetFreezeCheck(true);
    EXPECT_EQ(own.Notices, 3);
    own.BeginChange();
    own.SetMailTo("b");
    own.EndChange();
    EXPECT_EQ(own.Notices, 3);
    TOptionsMemoryStream s(Stored(own));
    own.ReadFromStream(s, LibraryOptionsVersion);
    EXPECT_EQ(own.Notices, 4);  // one for the whole read

    TCountingOptions unshared(false);
    unshared.SetMailTo("a");
    own.SetModuleFile("someone else");
    own.SetMailTo("c");
    EXPECT_EQ(unshared.Notices, 0);
    EXPECT_EQ(own.Notices, 4);
}

TEST(ModuleOptions, LogFileNames)
{
    TZephraModuleOptions o("D:\\App\\prog.exe", false);
    o.SetLogFolder("C:\\Logs");
    EXPECT_EQ(o.ComposeLogFileName("", "PC:1"), "C:\\Logs\\prog.zpf");
    o.SetLogFlags(o.LogFlags() | 0x08);
    EXPECT_EQ(o.ComposeLogFileName("", "PC:1"), "C:\\Logs\\prog_PC_1.zpf");
    EXPECT_EQ(o.ComposeLogFileName("", "*/:<>?\\|\""), "C:\\Logs\\prog_" + std::string(9, '_') + ".zpf");
    o.SetLogFlags(0);
    o.SetLogFolder("");
    EXPECT_EQ(o.ComposeLogFileName("", "PC"), "D:\\App\\prog.zpf");
    EXPECT_EQ(o.ComposeLogFileName("E:\\x.y\\lib", "PC"), "E:\\x.y\\lib.zpf");
    o.SetLogFolder("E:\\x\\Log.ZPF");
    EXPECT_EQ(o.ComposeLogFileName("", "PC"), "E:\\x\\Log.ZPF");
    o.SetLogFolder("C:\\Logs\\");
    EXPECT_EQ(o.ResolveLogPath("prog.zpf"), "C:\\Logs\\prog.zpf");
    o.SetLogFolder("");
    EXPECT_EQ(o.ResolveLogPath("prog.zpf"), "\\prog.zpf");
}
