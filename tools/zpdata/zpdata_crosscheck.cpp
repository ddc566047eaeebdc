// zpdata_crosscheck: looks up code addresses of a module in the line data
// that zpdata writes for it, with the library's own decoder, and compares
// them with binutils: addr2line for file and line (where it names the unit's
// own source file) and the function symbols objdump lists for the procedure.
// No disagreement is allowed. Also prints the block's size beside the
// module's .debug_line.
//
//   zpdata_crosscheck MODULE ADDR2LINE OBJDUMP [COUNT]
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "EDebugData.h"
#include "EEncrypt.h"
#include "ModuleDebugInfo.h"
#include "ZpdataWriter.h"

using namespace qov;

namespace {

std::string Run(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
        out.append(buffer, n);
    if (pclose(p) != 0)
        throw std::runtime_error(command + " failed");
    return out;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the line data stores for a symbol's name.
std::pair<std::string, std::string> StoredName(std::string cls, std::string proc)
{
    if (cls.size() > exceptions::StoredNamePartMax)
        cls.erase(0, cls.size() - exceptions::StoredNamePartMax);
    proc.resize(std::min(proc.size(), exceptions::StoredNamePartMax));
    for (char& c : cls)
        if (c == '.')
            c = '_';
    if (cls.empty())
        for (char& c : proc)
            if (c == '.')
                c = '_';
    return {cls, proc};
}

// The rows of the line tables as objdump decodes them: address -> file and
// line ("" after the end of a sequence). Of rows at one address the last.
std::map<uint64_t, std::pair<std::string, std::string>> DecodedRows(const std::string& objdump,
                                                                    const std::string& module)
{
    std::map<uint64_t, std::pair<std::string, std::string>> rows;
    std::istringstream in(Run(objdump + " --dwarf=decodedline '" + module + "' 2>/dev/null"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string file, number, address;
        fields >> file >> number >> address;
        if (address.compare(0, 2, "0x") != 0)
            continue;
        rows[std::stoull(address, nullptr, 16)] = {number == "-" ? std::string() : file, number};
    }
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::cerr << "usage: zpdata_crosscheck MODULE ADDR2LINE OBJDUMP [COUNT]\n";
        return 2;
    }
    const std::string module = argv[1], addr2line = argv[2], objdump = argv[3];
    const int count = argc > 4 ? std::atoi(argv[4]) : 5000;
    try {
        const zpdata::TModuleImage image(module);
        const std::string block = zpdata::ModuleZpdataResource(image, std::string());
        exceptions::TZpdataBlock parsed;
        if (!exceptions::ParseZpdataResource(reinterpret_cast<const uint8_t*>(block.data()), block.size(), true,
                                             parsed))
            throw std::runtime_error("the block does not read back");
        exceptions::SetTeaKey(std::string());
        exceptions::TLineDataFormat format;
        format.Version = parsed.Version;
        format.Decipher = [](const std::string& bytes) {
            std::string out(bytes.size(), '\0');
            exceptions::DecryptBuffer(bytes.data(), out.data(), static_cast<uint32_t>(bytes.size()));
            return out;
        };
        const std::vector<exceptions::TLineUnit> units = zpdata::BuildLineUnits(image);
        uint64_t covered = 0;
        for (const auto& u : units)
            covered += u.CodeSize;
        std::cout << "module " << BaseName(module) << ": " << units.size() << " units over " << covered
                  << " code bytes; block " << block.size() << " bytes, line data " << parsed.LineData.size()
                  << " bytes, .debug_line " << image.SectionBytes(".debug_line").size() << " bytes (ratio "
                  << static_cast<double>(block.size()) / image.SectionBytes(".debug_line").size() << ")\n";

        // Function symbols as objdump lists them (type 0x20).
        std::map<uint64_t, std::vector<std::string>> symbols;
        {
            std::istringstream in(Run(objdump + " -t '" + module + "'"));
            for (std::string line; std::getline(in, line);) {
                if (line.find("(ty  20)") == std::string::npos && line.find("(ty   20)") == std::string::npos)
                    continue;
                const size_t hex = line.rfind(") 0x");
                if (hex == std::string::npos)
                    continue;
                std::istringstream fields(line.substr(hex + 2));
                std::string value, name;
                fields >> value >> name;
                const int section = std::atoi(line.c_str() + line.find("(sec") + 4);
                if (section <= 0 || static_cast<size_t>(section) > image.Sections().size())
                    continue;
                const uint64_t va =
                    image.ImageBase() + image.Sections()[section - 1].VirtualAddress + std::stoull(value, nullptr, 16);
                symbols[va].push_back(name);
            }
        }

        // Random addresses in the units' code.
        std::mt19937_64 rng(12345);
        std::vector<uint64_t> addresses;
        for (int i = 0; i < count; ++i) {
            uint64_t pick = rng() % covered;
            for (const auto& u : units) {
                if (pick < u.CodeSize) {
                    addresses.push_back(image.ImageBase() + exceptions::LineDataCodeBase + u.CodeStart + pick);
                    break;
                }
                pick -= u.CodeSize;
            }
        }
        const std::string list = "/tmp/zpdata_crosscheck_" + std::to_string(getpid()) + ".txt";
        {
            FILE* f = fopen(list.c_str(), "w");
            for (uint64_t a : addresses)
                fprintf(f, "0x%llx\n", static_cast<unsigned long long>(a));
            fclose(f);
        }
        std::istringstream lines(Run(addr2line + " -e '" + module + "' < " + list));
        std::remove(list.c_str());

        // addr2line 2.40 reads file 1 of a DWARF 5 table as file 0 (the unit's
        // own file) in a sequence that never sets the file; objdump's decoder
        // reads it right. Where the two disagree, objdump's row decides.
        std::map<uint64_t, std::pair<std::string, std::string>> decoded;
        int lineChecked = 0, otherFile = 0, unknown = 0, faults = 0, misread = 0;
        for (uint64_t a : addresses) {
            std::string where;
            std::getline(lines, where);
            const size_t disc = where.find(" (discriminator");
            if (disc != std::string::npos)
                where.erase(disc);
            const size_t colon = where.rfind(':');
            const std::string file = BaseName(where.substr(0, colon));
            const std::string lineText = where.substr(colon + 1);
            exceptions::TLineInfo info;
            const uint32_t offset = static_cast<uint32_t>(a - image.ImageBase() - exceptions::LineDataCodeBase);
            if (!exceptions::LookupLine(reinterpret_cast<const uint8_t*>(parsed.LineData.data()),
                                        parsed.LineData.size(), format, offset, info)) {
                std::cout << "0x" << std::hex << a << std::dec << ": no unit in the line data\n";
                ++faults;
                continue;
            }
            if (file == "??" || lineText == "?" || lineText == "0") {
                ++unknown;
            } else if (file != info.Unit) {
                ++otherFile;
            } else if (std::to_string(info.Line) == lineText) {
                ++lineChecked;
            } else {
                if (decoded.empty())
                    decoded = DecodedRows(objdump, module);
                auto row = decoded.upper_bound(a);
                if (row != decoded.begin() && (--row)->second.first != file) {
                    ++misread;
                    ++otherFile;
                } else {
                    if (faults < 20)
                        std::cout << "0x" << std::hex << a << std::dec << ": addr2line " << where << ", line data "
                                  << info.Unit << ":" << info.Line << "\n";
                    ++faults;
                }
            }
            // The procedure: a function symbol at the nearest start at or
            // before the address.
            auto it = symbols.upper_bound(a);
            if (it == symbols.begin())
                continue;
            --it;
            bool match = false;
            for (const std::string& raw : it->second) {
                std::string cls, proc;
                zpdata::FunctionName(raw, !image.Is64(), cls, proc);
                match = match || StoredName(cls, proc) == std::make_pair(info.Class, info.Procedure);
            }
            if (!match) {
                if (faults < 20)
                    std::cout << "0x" << std::hex << a << std::dec << ": symbol " << it->second.front()
                              << ", line data " << info.Class << "." << info.Procedure << "\n";
                ++faults;
            }
        }
        std::cout << addresses.size() << " addresses: " << lineChecked << " lines compared in the unit's own file, "
                  << otherFile << " in other files (inlined; " << misread << " of them misread by addr2line), " << unknown
                  << " without a line; " << faults
                  << " disagreements\n";
        return faults ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << "zpdata_crosscheck: " << e.what() << "\n";
        return 1;
    }
}
