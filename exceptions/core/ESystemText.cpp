#include "ESystemText.h"

#include "SysUtils.h"

namespace qov::exceptions {

std::string CleanMessageText(const std::string& text)
{
    std::string result = text;
    for (char& c : result) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 && code != 13 && code != 10)
            c = ' ';
    }
    return result;
}

std::string WithFullStop(const std::string& text)
{
    if (text.empty() || text.back() == '.')
        return text;
    return text + '.';
}

std::string FormatIpAddress(const std::string& text)
{
    if (text.empty())
        return "000.000.000.000";
    std::string result;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.size() < 3)
            part.insert(0, 3 - part.size(), '0');
        result += part;
        if (dot == std::string::npos)
            break;
        result += '.';
        start = dot + 1;
    }
    return result;
}

namespace {

std::string Unit(uint64_t count, const char* word)
{
    return Format("%llu %s%s", static_cast<unsigned long long>(count), word, count > 1 ? "s" : "");
}

} // namespace

std::string UpTimeText(uint64_t milliseconds)
{
    const uint64_t seconds = milliseconds / 1000;
    const uint64_t days = seconds / 86400;
    const uint64_t hours = seconds % 86400 / 3600;
    const uint64_t minutes = seconds % 3600 / 60;
    std::string text;
    if (days > 0)
        text += Unit(days, "day") + ", ";
    if (hours > 0)
        text += Unit(hours, "hour") + ", ";
    return text + Unit(minutes, "minute") + ", " + Unit(seconds % 60, "second");
}

std::string MemoryText(uint64_t bytes)
{
    const uint64_t mib = (bytes >> 20) + ((bytes >> 19) & 1);
    return Format("%llu Mb", static_cast<unsigned long long>(mib));
}

std::string DiskText(uint64_t bytes)
{
    // Hundredths of a GiB, rounded half up, without going through a real number.
    uint64_t whole = bytes >> 30;
    const uint64_t rest = bytes & ((uint64_t(1) << 30) - 1);
    uint64_t hundredths = (rest * 100 + (uint64_t(1) << 29)) >> 30;
    if (hundredths == 100) {
        ++whole;
        hundredths = 0;
    }
    std::string text = Format("%llu", static_cast<unsigned long long>(whole));
    if (hundredths != 0) {
        text += Format(".%02u", static_cast<unsigned>(hundredths));
        if (text.back() == '0')
            text.pop_back();
    }
    return text + " Gb";
}

std::string AddressText(uint64_t address, int digits)
{
    if (digits <= 8)
        return Format("%08lX", static_cast<unsigned long>(address & 0xFFFFFFFFu));
    return Format("%016llX", static_cast<unsigned long long>(address));
}

std::string AccessViolationText(uint64_t address, bool write, uint64_t target, const std::string& moduleName,
                                int digits)
{
    const char* access = write ? "Write" : "Read";
    if (!moduleName.empty())
        return Format("Access violation at address %s in module '%s'. %s of address %s",
                      AddressText(address, digits).c_str(), moduleName.c_str(), access,
                      AddressText(target, digits).c_str());
    return Format("Access violation at address %s. %s of address %s", AddressText(address, digits).c_str(), access,
                  AddressText(target, digits).c_str());
}

std::string QuotedParameters(const std::vector<std::string>& parameters)
{
    std::string text;
    for (const std::string& p : parameters) {
        if (!text.empty())
            text += ' ';
        text += '"' + p + '"';
    }
    return text;
}

std::string ProcessorText(const std::string& name, const std::string& vendor, const std::string& identifier)
{
    std::string text = Trim(name);
    if (text.empty()) {
        text = Trim(vendor);
        const std::string id = Trim(identifier);
        if (!id.empty())
            text += text.empty() ? id : " - " + id;
    }
    return text.empty() ? "Unknown processor" : text;
}

std::string DisplayModeText(int width, int height, int bitsPerPixel)
{
    return Format("%d x %d, %d bit", width, height, bitsPerPixel);
}

std::string CompilationDateText(TDateTime compileTimeUtc, int zoneOffsetMinutes)
{
    if (compileTimeUtc == 0)
        return std::string();
    return LongDateText(compileTimeUtc + zoneOffsetMinutes / 1440.0, zoneOffsetMinutes);
}

TNetworkValues NetworkTexts(const std::vector<TAdapterFacts>& adapters)
{
    TNetworkValues v;
    const std::string separator = " - ";
    for (const TAdapterFacts& a : adapters) {
        v[5] += a.Dhcp ? "ON              - " : "OFF             - ";
        v[0] += FormatIpAddress(a.Address) + separator;
        v[1] += FormatIpAddress(a.Mask) + separator;
        v[2] += FormatIpAddress(a.Gateway) + separator;
        if (a.HasDnsInfo) {
            v[3] += FormatIpAddress(a.Dns.empty() ? std::string() : a.Dns[0]) + separator;
            v[4] += (a.Dns.size() > 1 ? FormatIpAddress(a.Dns[1]) : std::string("000.000.000.000")) + separator;
        }
    }
    for (std::string& text : v)
        if (text.size() >= separator.size() && text.compare(text.size() - separator.size(), separator.size(), separator) == 0)
            text.erase(text.size() - separator.size());
    return v;
}

} // namespace qov::exceptions
