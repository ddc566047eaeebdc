// The build-time writer's own logic: the options text of a module and the
// names it takes from a COFF symbol table.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ECoreOptions.h"
#include "ModuleDebugInfo.h"
#include "ZpdataWriter.h"

using namespace qov;

namespace {

TEST(ZpdataOptionsText, NamesValuesAndTexts)
{
    exceptions::TZephraModuleOptions o("", false);
    const zpdata::TModuleOptionsText t = zpdata::ReadOptionsText(
        "# comment\n"
        "  KeepReports = 12\n"
        "StackFlags=0x13\r\n"
        "MailTitle = Crash in QovPlayer\n"
        "Text3 = First line\\nsecond line\n"
        "SectionMask = 0x00000000FF\n"
        "FreezeCheck = 1\n"
        "\n"
        "PassPhrase = open sesame\n",
        o);
    EXPECT_EQ(t.PassPhrase, "open sesame");
    EXPECT_EQ(o.KeepReports(), 12);
    EXPECT_EQ(o.StackFlags(), 0x13);
    EXPECT_EQ(o.MailTitle(), "Crash in QovPlayer");
    EXPECT_EQ(o.GetCustomText(3), "First line\r\nsecond line");
    EXPECT_EQ(o.SectionMask()[0], 0xFF);
    EXPECT_EQ(o.SectionMask()[1], 0);
    EXPECT_TRUE(o.FreezeCheck());
    // Options not named keep their defaults.
    EXPECT_EQ(o.SmtpPortNumber(), 25);
    EXPECT_EQ(o.GetCustomText(0), "Information.");
}

TEST(ZpdataOptionsText, FilterListsTakeOneEntryPerLine)
{
    exceptions::TZephraModuleOptions o("", false);
    zpdata::ReadOptionsText("FilterClasses = EConvertError\n"
                            "FilterMessages = Not a number.\\nTry again.\n"
                            "FilterClasses = EAbort\n"
                            "FilterMessages =\n",
                            o);
    EXPECT_EQ(o.FilterClasses().Items(), (std::vector<std::string>{"EConvertError", "EAbort"}));
    EXPECT_EQ(o.FilterMessages().Items(), (std::vector<std::string>{"Not a number.\r\nTry again.", ""}));
}

TEST(ZpdataOptionsText, MistakesStopTheBuild)
{
    exceptions::TZephraModuleOptions o("", false);
    EXPECT_THROW(zpdata::ReadOptionsText("KeepReport = 1\n", o), std::runtime_error);
    EXPECT_THROW(zpdata::ReadOptionsText("KeepReports = many\n", o), std::runtime_error);
    EXPECT_THROW(zpdata::ReadOptionsText("Text96 = x\n", o), std::runtime_error);
    EXPECT_THROW(zpdata::ReadOptionsText("KeepReports\n", o), std::runtime_error);
}

TEST(ZpdataSymbolNames, DecorationsDemanglingAndClones)
{
    struct TCase {
        const char* Raw;
        bool Underscore;
        const char* Class;
        const char* Procedure;
    };
    const TCase cases[] = {
        // i386: leading underscore and stdcall argument bytes.
        {"_ZpProbe@4", true, "", "ZpProbe"},
        {"__ZN3qov14TQovPlayerCtrl4SaveEv@4", true, "qov::TQovPlayerCtrl", "Save"},
        // x86_64: no underscore to drop.
        {"_ZN3qov14TQovPlayerCtrl4SaveEv", false, "qov::TQovPlayerCtrl", "Save"},
        // Clones: cold parts of mangled names (with stdcall bytes before the
        // suffix), a C name's suffix.
        {"__ZN3qov10exceptions12_GLOBAL__N_110RunGuardedEPFvvE.cold", true, "qov::exceptions::(anonymous namespace)",
         "RunGuarded"},
        {"__ZN3qov14TQovPlayerCtrl23put_NailBackgroundColorEl@8.cold", true, "qov::TQovPlayerCtrl",
         "put_NailBackgroundColor"},
        {"_strtod.part.0", true, "", "strtod"},
        // A name that only looks mangled stays as it is.
        {"__Znot_mangled", true, "", "_Znot_mangled"},
    };
    for (const TCase& c : cases) {
        std::string cls, proc;
        zpdata::FunctionName(c.Raw, c.Underscore, cls, proc);
        EXPECT_EQ(cls, c.Class) << c.Raw;
        EXPECT_EQ(proc, c.Procedure) << c.Raw;
    }
}

} // namespace
