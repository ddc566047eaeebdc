#include "ZpdataWriter.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

#include "EDebugData.h"
#include "EEncrypt.h"

namespace qov::zpdata {

using exceptions::TZephraModuleOptions;

namespace {

std::string Trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

int64_t Number(const std::string& text, const std::string& name)
{
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end)
        throw std::runtime_error("option " + name + ": \"" + text + "\" is no number");
    return v;
}

std::string TextValue(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += "\r\n";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

using TSetter = std::function<void(TZephraModuleOptions&, const std::string& value, const std::string& name)>;

const std::map<std::string, TSetter>& Setters()
{
#define QOV_NUMBER(type, field) \
    {#field, [](TZephraModuleOptions& o, const std::string& v, const std::string& n) { \
         o.Set##field(static_cast<type>(Number(v, n))); }}
#define QOV_TEXT(field) \
    {#field, [](TZephraModuleOptions& o, const std::string& v, const std::string&) { o.Set##field(TextValue(v)); }}
    static const std::map<std::string, TSetter> setters = {
        QOV_NUMBER(uint8_t, LogSwitch), QOV_NUMBER(uint8_t, HandleSwitch), QOV_NUMBER(uint8_t, LogFlags),
        QOV_NUMBER(uint8_t, AppendToLog), QOV_NUMBER(uint8_t, SaveLog), QOV_NUMBER(uint8_t, StartTab),
        QOV_NUMBER(bool, FreezeCheck), QOV_NUMBER(int32_t, FreezeSeconds), QOV_TEXT(FreezeText),
        QOV_TEXT(SmtpSender), QOV_TEXT(SmtpServer), QOV_NUMBER(uint16_t, SmtpPortNumber), QOV_TEXT(SmtpUser),
        QOV_TEXT(SmtpPass), QOV_NUMBER(uint8_t, TerminateMode), QOV_NUMBER(uint8_t, TerminateButtonShown),
        QOV_NUMBER(int32_t, KeepReports), QOV_NUMBER(int32_t, ErrorsBeforeTerminate), QOV_TEXT(MailTo),
        QOV_TEXT(MailTitle), QOV_NUMBER(uint8_t, MailMode), QOV_TEXT(LogFolder), QOV_NUMBER(uint8_t, UploadMode),
        QOV_TEXT(UploadAddress), QOV_TEXT(UploadUser), QOV_TEXT(UploadPass), QOV_NUMBER(int32_t, UploadPortNumber),
        QOV_TEXT(ExtraFiles), QOV_NUMBER(uint16_t, SendFlags), QOV_NUMBER(uint8_t, DialogFlags),
        QOV_NUMBER(int32_t, DialogCloseSeconds), QOV_TEXT(HelpPageAddress), QOV_TEXT(HtmlTemplate),
        QOV_NUMBER(uint8_t, StackFlags), QOV_NUMBER(uint8_t, BehaviourFlags), QOV_NUMBER(uint8_t, CrashAction),
        QOV_NUMBER(int32_t, CrashCount), QOV_NUMBER(int32_t, CrashMinutes), QOV_TEXT(MailBody),
        // The filter lists: each line adds one entry (a message may be empty).
        {"FilterClasses", [](TZephraModuleOptions& o, const std::string& v, const std::string&) {
             o.FilterClasses().Add(v);
         }},
        {"FilterMessages", [](TZephraModuleOptions& o, const std::string& v, const std::string&) {
             o.FilterMessages().Add(TextValue(v));
         }},
        {"SectionMask", [](TZephraModuleOptions& o, const std::string& v, const std::string& n) {
             const uint64_t bits = static_cast<uint64_t>(Number(v, n));
             exceptions::TSectionMask mask;
             for (size_t i = 0; i < mask.size(); ++i)
                 mask[i] = static_cast<uint8_t>(bits >> (8 * i));
             o.SetSectionMask(mask);
         }},
    };
#undef QOV_NUMBER
#undef QOV_TEXT
    return setters;
}

// Chained encryption of one stored name part under the current key.
std::string Encipher(const std::string& bytes)
{
    std::string out(bytes.size(), '\0');
    exceptions::EncryptBuffer(bytes.data(), out.data(), static_cast<uint32_t>(bytes.size()));
    return out;
}

struct TBlockParts {
    uint8_t Build[8];
    std::string Options, LineData, PassPhrase;
};

TBlockParts Parts(const TModuleImage& image, const std::string& optionsText)
{
    TBlockParts p;
    TZephraModuleOptions options(std::string(), false);
    p.PassPhrase = ReadOptionsText(optionsText, options).PassPhrase;
    exceptions::TOptionsMemoryStream stored;
    options.WriteToStream(stored);
    p.Options = stored.Bytes();
    BuildBytes(image, p.Build);
    p.LineData = ModuleLineData(image, p.PassPhrase);
    return p;
}

} // namespace

TModuleOptionsText ReadOptionsText(const std::string& text, TZephraModuleOptions& options)
{
    TModuleOptionsText result;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = Trim(line);
        if (content.empty() || content[0] == '#')
            continue;
        const size_t eq = content.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("options line " + std::to_string(number) + " has no \"=\"");
        const std::string name = Trim(content.substr(0, eq)), value = Trim(content.substr(eq + 1));
        if (name == "PassPhrase") {
            result.PassPhrase = value;
        } else if (name.compare(0, 4, "Text") == 0 && name.size() > 4 &&
                   name.find_first_not_of("0123456789", 4) == std::string::npos) {
            const int index = std::atoi(name.c_str() + 4);
            if (index >= exceptions::CustomTextCount)
                throw std::runtime_error("options line " + std::to_string(number) + ": no text " + name);
            options.SetCustomText(index, TextValue(value));
        } else {
            const auto it = Setters().find(name);
            if (it == Setters().end())
                throw std::runtime_error("options line " + std::to_string(number) + ": unknown option " + name);
            it->second(options, value, name);
        }
    }
    return result;
}

void BuildBytes(const TModuleImage& image, uint8_t out[8])
{
    int64_t seconds = image.TimeDateStamp();
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch)
        seconds = std::strtoll(epoch, nullptr, 10);
    // Days since 1899-12-30; the Unix epoch is day 25569.
    const double days = 25569.0 + static_cast<double>(seconds) / 86400.0;
    std::memcpy(out, &days, 8);
}

std::string ModuleLineData(const TModuleImage& image, const std::string& passPhrase)
{
    exceptions::SetTeaKey(passPhrase);
    return exceptions::EncodeLineData(BuildLineUnits(image), Encipher);
}

std::string ModuleZpdataResource(const TModuleImage& image, const std::string& optionsText)
{
    const TBlockParts p = Parts(image, optionsText);
    // The check: the magic enciphered under the pass phrase's key.
    exceptions::SetTeaKey(p.PassPhrase);
    const uint8_t magic[4] = {exceptions::ZpdataMagic & 0xFF, exceptions::ZpdataMagic >> 8 & 0xFF,
                              exceptions::ZpdataMagic >> 16 & 0xFF, exceptions::ZpdataMagic >> 24};
    uint8_t check[4];
    exceptions::EncryptBuffer(magic, check, 4);
    return exceptions::BuildZpdataResource(p.Build, p.Options, check, p.LineData);
}

std::string ModuleZpdataAppended(const TModuleImage& image, const std::string& optionsText)
{
    // The appended form has no check: its names are read with the empty
    // pass phrase.
    std::string text = optionsText;
    text.append("\nPassPhrase =\n");
    const TBlockParts p = Parts(image, text);
    return exceptions::BuildZpdataAppended(p.Build, p.Options, p.LineData);
}

} // namespace qov::zpdata
