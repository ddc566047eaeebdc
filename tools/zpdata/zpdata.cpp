// zpdata: writes the ZPDATA block of a Windows module at build time.
//
//   zpdata write  MODULE OPTIONS BLOCK    block (resource form) of a linked,
//                                         unstripped module into BLOCK
//   zpdata check  MODULE OPTIONS BLOCK    fails when MODULE's line data differ
//                                         from BLOCK's, or MODULE does not carry
//                                         BLOCK
//   zpdata append MODULE OPTIONS TARGET   adds the appended form of MODULE's
//                                         block to TARGET (MODULE stripped)
//
// OPTIONS is the module's options text ("-" for none).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "EDebugData.h"
#include "ModuleDebugInfo.h"
#include "ZpdataWriter.h"

using namespace qov;

namespace {

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& name, const std::string& bytes, bool append)
{
    std::ofstream out(name, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + name);
}

int Check(const zpdata::TModuleImage& image, const std::string& optionsText, const std::string& blockFile)
{
    const std::string block = ReadFile(blockFile);
    exceptions::TZpdataBlock parsed;
    if (!exceptions::ParseZpdataResource(reinterpret_cast<const uint8_t*>(block.data()), block.size(), true,
                                         parsed)) {
        std::cerr << "zpdata: " << blockFile << " is no ZPDATA block\n";
        return 1;
    }
    exceptions::TZephraModuleOptions options(std::string(), false);
    const std::string lines = zpdata::ModuleLineData(image, zpdata::ReadOptionsText(optionsText, options).PassPhrase);
    if (lines != parsed.LineData) {
        std::cerr << "zpdata: the final module's code moved: its line data differ from " << blockFile << "\n";
        return 1;
    }
    if (image.SectionBytes(".rsrc").find(block) == std::string::npos) {
        std::cerr << "zpdata: the final module does not carry " << blockFile << " as a resource\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::cerr << "usage: zpdata write|check|append MODULE OPTIONS BLOCK-OR-TARGET\n";
        return 2;
    }
    const std::string command = argv[1], module = argv[2], optionsFile = argv[3], out = argv[4];
    try {
        const std::string optionsText = optionsFile == "-" ? std::string() : ReadFile(optionsFile);
        const zpdata::TModuleImage image(module);
        if (command == "write") {
            WriteFile(out, zpdata::ModuleZpdataResource(image, optionsText), false);
            return 0;
        }
        if (command == "check")
            return Check(image, optionsText, out);
        if (command == "append") {
            WriteFile(out, zpdata::ModuleZpdataAppended(image, optionsText), true);
            return 0;
        }
        std::cerr << "zpdata: unknown command " << command << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "zpdata: " << module << ": " << e.what() << "\n";
        return 1;
    }
}
