// The option record: stored form of every layout version, conversions,
// copying, defaults, change notices and log file names.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

// Writes the stored form of one layout version field by field, as the
// library's versions wrote it, and sets in Expect what reading it must give
// (Expect starts with the defaults; fields a layout lacks keep them).
class TEncoder {
public:
    TEncoder(const TZephraModuleOptions& o, unsigned v) : Expect("", false) { Write(o, v); }
    std::string Bytes;
    TZephraModuleOptions Expect;

private:
    using T = TZephraModuleOptions;
    void Put(uint8_t x) { Bytes += static_cast<char>(x); }
    void Put(uint16_t x) { Put(uint8_t(x)); Put(uint8_t(x >> 8)); }
    void Put(int32_t x) { Put(uint16_t(x)); Put(uint16_t(uint32_t(x) >> 16)); }
    void Put(const std::string& s)
    {
        Put(static_cast<int32_t>(s.size()));
        for (char c : s)
            Put(uint8_t(c ^ 0x5D));
    }
    template <class V, class S> void Row(const V& value, S setter) { Put(value); (Expect.*setter)(value); }
    void Write(const T& o, unsigned v)
    {
        Row(o.LogSwitch(), &T::SetLogSwitch);
        Row(o.HandleSwitch(), &T::SetHandleSwitch);
        Row(o.LogFlags(), &T::SetLogFlags);
        uint8_t dialogBits = 0;
        uint16_t sendBits = 0;
        if (v < 500) {
            Put(uint8_t(Bit(o.DialogFlags(), 0) ^ (v < 450)));  // once stored inverted
            dialogBits |= 0x01;
        }
        Row(o.AppendToLog(), &T::SetAppendToLog);
        if (v >= 450 && v < 500) {
            for (int bit : {2, 4, 0})
                Put(uint8_t(Bit(o.SendFlags(), bit)));
            sendBits = 0x15;
        }
        if (v >= 401) {
            Row(o.SaveLog(), &T::SetSaveLog);
            Row(o.StartTab(), &T::SetStartTab);
        }
        if (v >= 403 && v < 500) {
            Put(uint8_t(Bit(o.DialogFlags(), 7)));
            dialogBits |= 0x80;
        }
        if (v >= 420) {
            Put(uint8_t(o.FreezeCheck()));
            Expect.SetFreezeCheck(o.FreezeCheck());
            Put(int32_t(v < 422 ? o.FreezeSeconds() * 1000 : o.FreezeSeconds()));  // milliseconds
            Expect.SetFreezeSeconds(o.FreezeSeconds());
            Row(o.FreezeText(), &T::SetFreezeText);
            if (v >= 450)
                Row(o.SmtpSender(), &T::SetSmtpSender);
            Row(o.SmtpServer(), &T::SetSmtpServer);
        }
        if (v >= 450)
            Row(o.SmtpPortNumber(), &T::SetSmtpPortNumber);
        if (v >= 421) {
            Row(o.SmtpUser(), &T::SetSmtpUser);
            Row(o.SmtpPass(), &T::SetSmtpPass);
            Row(o.TerminateMode(), &T::SetTerminateMode);
        }
        Row(o.TerminateButtonShown(), &T::SetTerminateButtonShown);
        Row(o.KeepReports(), &T::SetKeepReports);
        Row(o.ErrorsBeforeTerminate(), &T::SetErrorsBeforeTerminate);
        Row(o.MailTo(), &T::SetMailTo);
        Row(o.MailTitle(), &T::SetMailTitle);
        if (v >= 450) {
            Row(o.MailMode(), &T::SetMailMode);
        } else {  // a yes/no that meant SMTP when a server was given
            Put(uint8_t(o.MailMode() != 0));
            Expect.SetMailMode(o.MailMode() == 0 ? 0 : Expect.SmtpServer().empty() ? 1 : 2);
        }
        if (v >= 500) {
            for (uint8_t b : o.SectionMask())
                Put(b);
            Expect.SetSectionMask(o.SectionMask());
        } else {
            OldMask(o.SectionMask());
        }
        if (v < 450)
            Put(uint8_t(0xEE));
        Row(o.LogFolder(), &T::SetLogFolder);
        if (v >= 500) {
            Row(o.UploadMode(), &T::SetUploadMode);
            Row(o.UploadAddress(), &T::SetUploadAddress);
            Row(o.UploadUser(), &T::SetUploadUser);
            Row(o.UploadPass(), &T::SetUploadPass);
            Row(o.UploadPortNumber(), &T::SetUploadPortNumber);
            Row(o.ExtraFiles(), &T::SetExtraFiles);
            Row(o.SendFlags(), &T::SetSendFlags);
            Row(o.DialogFlags(), &T::SetDialogFlags);
            Row(o.DialogCloseSeconds(), &T::SetDialogCloseSeconds);
            Row(o.HelpPageAddress(), &T::SetHelpPageAddress);
            Row(o.HtmlTemplate(), &T::SetHtmlTemplate);
            Row(o.StackFlags(), &T::SetStackFlags);
            Row(o.BehaviourFlags(), &T::SetBehaviourFlags);
            Row(o.CrashAction(), &T::SetCrashAction);
            Row(o.CrashCount(), &T::SetCrashCount);
            Row(o.CrashMinutes(), &T::SetCrashMinutes);
        } else {  // only the single flags of the layout reach the flag fields
            Expect.SetDialogFlags(uint8_t((Expect.DialogFlags() & ~dialogBits) | (o.DialogFlags() & dialogBits)));
            Expect.SetSendFlags(uint16_t((Expect.SendFlags() & ~sendBits) | (o.SendFlags() & sendBits)));
        }
        const int n = std::max(o.FilterClasses().Count(), o.FilterMessages().Count());
        Put(int32_t(n));
        for (int i = 0; i < n; ++i) {
            Put(i < o.FilterClasses().Count() ? o.FilterClasses()[i] : "");
            Put(i < o.FilterMessages().Count() ? o.FilterMessages()[i] : "");
        }
        Expect.FilterClasses().Assign(o.FilterClasses());
        Expect.FilterMessages().Assign(o.FilterMessages());
        Row(o.MailBody(), &T::SetMailBody);
        for (int i = 0; i < CustomTextCount; ++i)
            if (TextInLayout(i, v)) {
                Put(o.GetCustomText(i));
                Expect.SetCustomText(i, o.GetCustomText(i));
            }
    }

    // Layouts below 500 held 32 show bits: new 0-3 = old 0-3, new 4-18 =
    // old 5-19, new 19-22 = old 23-26; old bits 4, 20-22 and 27-31 were items
    // since dropped (written set here, they must not come back). New bits
    // 23-30 come from byte 4 as it was (all set by default), 31-39 are clear.
    void OldMask(const TSectionMask& m)
    {
        uint32_t old = 1u << 4 | 7u << 20 | 31u << 27;
        for (int n = 0; n < 23; ++n)
            old |= uint32_t(MaskBit(m, n)) << (n < 4 ? n : n < 19 ? n + 1 : n + 4);
        Put(int32_t(old));
        Expect.SetSectionMask({m[0], m[1], uint8_t(m[2] | 0x80), 0x7F, 0});
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

std::unique_ptr<TZephraModuleOptions> Read(const std::string& bytes, unsigned v = LibraryOptionsVersion)
{
    auto r = std::make_unique<TZephraModuleOptions>("", false);
    TOptionsMemoryStream in(bytes);
    r->ReadFromStream(in, static_cast<uint16_t>(v));
    return r;
}

} // namespace

TEST(ModuleOptionsStream, WrittenFormIsTheTableInOrder)
{
    TZephraModuleOptions o("", false);
    EXPECT_EQ(Stored(o), TEncoder(o, LibraryOptionsVersion).Bytes);
    FillSample(o);
    EXPECT_EQ(Stored(o), TEncoder(o, LibraryOptionsVersion).Bytes);
}

TEST(ModuleOptionsStream, EveryLayoutVersionReadsIntoTheRecord)
{
    TZephraModuleOptions src("", false);
    FillSample(src);
    for (unsigned v : {400u, 420u, 421u, 422u, 449u, 450u, 499u, 500u, 5110u}) {
        SCOPED_TRACE(v);
        const TEncoder enc(src, v);
        TOptionsReadStream in(enc.Bytes.data(), enc.Bytes.size());
        TZephraModuleOptions r("", false);
        r.ReadFromStream(in, static_cast<uint16_t>(v));
        EXPECT_EQ(in.Remaining(), 0u);
        EXPECT_EQ(Stored(r), Stored(enc.Expect));
        EXPECT_EQ(r.FreezeSeconds(), v >= 420 ? 7 : 60);
        EXPECT_EQ(r.MailMode(), v >= 450 ? 3 : v >= 420 ? 2 : 1);
        for (int n = 31; n < 40; ++n)
            EXPECT_EQ(MaskBit(r.SectionMask(), n), v >= 500 && MaskBit(src.SectionMask(), n)) << n;
    }
}

TEST(ModuleOptionsStream, OldFlagAndTimeConversions)
{
    // The single dialog flag after LogFlags, stored as 0: before 450 it was
    // kept inverted.
    TZephraModuleOptions src("", false);
    for (unsigned v : {449u, 450u}) {
        std::string bytes = TEncoder(src, v).Bytes;
        bytes[3] = 0;
        EXPECT_EQ(Read(bytes, v)->DialogFlags() & 1, v == 449 ? 1 : 0) << v;
    }
    // 421 and 422 share a layout; 421 kept milliseconds.
    src.SetFreezeSeconds(5000);
    const std::string bytes = TEncoder(src, 422).Bytes;
    EXPECT_EQ(Read(bytes, 421)->FreezeSeconds(), 5);
    EXPECT_EQ(Read(bytes, 422)->FreezeSeconds(), 5000);
}

TEST(ModuleOptionsStream, TextsLoseOnlyAClosingSoleLineBreak)
{
    TZephraModuleOptions o("", false);
    o.SetMailBody("Only line\r\n");
    o.SetMailTitle("a\r\nb\r\n");
    o.SetMailTo("\r\n");
    const auto r = Read(Stored(o));
    EXPECT_EQ(r->MailBody(), "Only line");
    EXPECT_EQ(r->MailTitle(), "a\r\nb\r\n");
    EXPECT_EQ(r->MailTo(), "");
    EXPECT_EQ(r->GetCustomText(3), DefaultTexts[3]);  // a break inside stays
}

TEST(ModuleOptionsStream, FilterPairsFollowTheLongerList)
{
    TZephraModuleOptions o("", false);
    for (const char* c : {"EA", "EB", "EC"})
        o.FilterClasses().Add(c);
    o.FilterMessages().Add("only");
    // N = 3, then EA "only" EB "" EC "": 3 * 8 bytes of counts, 10 text bytes.
    EXPECT_EQ(Stored(o).size(), Stored(TZephraModuleOptions("", false)).size() + 3 * 8 + 10);
    const auto r = Read(Stored(o));
    EXPECT_EQ(r->FilterClasses().Items(), (std::vector<std::string>{"EA", "EB", "EC"}));
    EXPECT_EQ(r->FilterMessages().Items(), (std::vector<std::string>{"only", "", ""}));
}

TEST(ModuleOptionsStream, ShortOrDamagedDataStopsAndKeepsTheRest)
{
    TZephraModuleOptions src("", false);
    FillSample(src);
    const std::string full = Stored(src);
    for (size_t cut = 0; cut < full.size(); ++cut)  // the last text is never reached
        ASSERT_EQ(Read(full.substr(0, cut))->GetCustomText(95), DefaultTexts[95]) << cut;

    // Cut inside LogFolder's text: the fields before it are read, the rest keep.
    const size_t logFolderAt = full.find(Scrambled("C:\\Logs")) - 4;
    TOptionsReadStream in(full.data(), logFolderAt + 6);
    TZephraModuleOptions r("", false);
    r.ReadFromStream(in, LibraryOptionsVersion);
    EXPECT_EQ(r.SectionMask(), src.SectionMask());
    EXPECT_EQ(r.LogFolder(), "");
    EXPECT_EQ(r.CrashCount(), 10);
    EXPECT_EQ(in.Remaining(), 2u);

    // A negative count is an empty text and the reading goes on; a huge one
    // reads nothing and ends it. (FreezeText's count follows 7 bytes and
    // FreezeSeconds.)
    src.SetFreezeText("");
    std::string bad = Stored(src);
    bad.replace(11, 4, "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(Read(bad)->MailBody(), "Body");
    bad.replace(11, 4, "\xFF\xFF\xFF\x7F");
    EXPECT_EQ(Read(bad)->FreezeText(), "The application seems to be frozen.");
    EXPECT_EQ(Read(bad)->SmtpSender(), DefaultSmtpSender);
}

TEST(ModuleOptions, KeepReportsZeroOnlyFromAStream)
{
    TZephraModuleOptions o("", false);
    o.SetKeepReports(0);
    EXPECT_EQ(o.KeepReports(), 1);
    o.SetKeepReports(0x0BADF00D);
    std::string bytes = Stored(o);
    bytes.replace(bytes.find("\x0D\xF0\xAD\x0B"), 4, std::string(4, '\0'));
    const auto r = Read(bytes);
    EXPECT_EQ(r->KeepReports(), 0);
    o.CopyOptions(r.get());
    EXPECT_EQ(o.KeepReports(), 1);
}

TEST(ModuleOptions, CopyTakesEveryOptionButTheMasterSwitchAndNames)
{
    TCountingOptions target;
    try {
        target.CopyOptions(nullptr);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Impossible to assign nil as TZephraModuleOptions.");
    }
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

    target.FilterClasses().Add("kept");
    target.SetHandlerActive(false);
    target.ResetToDefaults();
    EXPECT_EQ(Stored(target).substr(0, 3), std::string("\x00\x01\x30", 3));
    EXPECT_EQ(target.FilterClasses().Count(), 2);
    EXPECT_TRUE(target.HandlerActive());
    EXPECT_EQ(target.GetCustomText(5), "General Information");
}

TEST(ModuleOptions, NoticesOnlyOutsideChangesForTheSharedOwnRecord)
{
    TCountingOptions own;
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
    EXPECT_EQ(unshared.Notices + own.Notices, 4);
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
    EXPECT_EQ(o.ResolveLogPath("prog.zpf"), "\\prog.zpf");
    o.SetLogFolder("E:\\x\\Log.ZPF");
    EXPECT_EQ(o.ComposeLogFileName("", "PC"), "E:\\x\\Log.ZPF");
}
