// Test peer of codecs_check.py: runs the exception-reporting library's codecs
// and archives on files, one command per line of standard input, and answers
// each with one line: "ok" or "error <class>: <message>".
//   md5 IN OUT             the 16 bytes of the digest
//   b64enc IN OUT, b64dec IN OUT
//   teakey IN              the key from the bytes of IN
//   teaenc IN OUT, teadec IN OUT      block by block (whole blocks only)
//   encrypt IN OUT, decrypt IN OUT    chained, any length
//   compress IN OUT, decompress IN OUT
//   savegzip IN ARCHIVE, loadgzip IN OUT
//   tgz ARCHIVE            starts a TTGZWriter
//   file PATH [NAME]       TTGZWriter.AddFile
//   stream NAME SECONDS IN TTGZWriter.AddStream, time in seconds since 1970
//   end                    destroys the writer (writes the archive)
// Names are single words; the peer runs in the folder of the files.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <typeinfo>

#include "EBase64.h"
#include "EEncrypt.h"
#include "ETarGZip.h"
#include "EZlib.h"

using namespace qov::exceptions;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw qov::EFOpenError("cannot open " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out)
        throw qov::EFCreateError("cannot write " + path);
}

int32_t Length(const std::string& bytes)
{
    return static_cast<int32_t>(bytes.size());
}

template <typename TBlock>
std::string Blocks(std::string bytes, TBlock block)
{
    for (size_t at = 0; at + 8 <= bytes.size(); at += 8)
        block(bytes.data() + at, bytes.data() + at);
    return bytes;
}

std::unique_ptr<TTGZWriter> Writer;

// One command.
void Run(const std::string& command, std::istringstream& args)
{
    std::string a, b, c;
    args >> a >> b >> c;
    if (command == "md5") {
        std::string data = ReadFile(a);
        TMd5Digest digest = Md5Digest(data.data(), static_cast<uint32_t>(data.size()));
        WriteFile(b, std::string(digest.begin(), digest.end()));
    } else if (command == "b64enc") {
        std::string data = ReadFile(a);
        WriteFile(b, Base64EncodeBuffer(data.data(), data.size()));
    } else if (command == "b64dec") {
        WriteFile(b, Base64DecodeText(ReadFile(a)));
    } else if (command == "teakey") {
        SetTeaKey(ReadFile(a));
    } else if (command == "teaenc") {
        WriteFile(b, Blocks(ReadFile(a), [](const void* s, void* d) { TeaEncryptBlock(s, d); }));
    } else if (command == "teadec") {
        WriteFile(b, Blocks(ReadFile(a), [](const void* s, void* d) { TeaDecryptBlock(s, d); }));
    } else if (command == "encrypt" || command == "decrypt") {
        std::string data = ReadFile(a);
        (command == "encrypt" ? EncryptBuffer : DecryptBuffer)(data.data(), data.data(),
                                                               static_cast<uint32_t>(data.size()));
        WriteFile(b, data);
    } else if (command == "compress") {
        std::string data = ReadFile(a);
        WriteFile(b, CompressBuffer(data.data(), Length(data)));
    } else if (command == "decompress") {
        std::string data = ReadFile(a);
        WriteFile(b, DecompressBuffer(data.data(), Length(data)));
    } else if (command == "savegzip") {
        SaveGzip(ReadFile(a), b);
    } else if (command == "loadgzip") {
        std::string image = ReadFile(a);
        TOptionsReadStream input(image.data(), image.size());
        TOptionsMemoryStream output;
        LoadGzip(input, output);
        WriteFile(b, output.Bytes());
    } else if (command == "tgz") {
        Writer = std::make_unique<TTGZWriter>(a);
    } else if (command == "file") {
        Writer->AddFile(a, b);
    } else if (command == "stream") {
        TOptionsMemoryStream stream(ReadFile(c));
        Writer->AddStream(stream, a, 25569.0 + std::stod(b) / 86400.0);
    } else if (command == "end") {
        // The destructor may raise: a plain delete, not unique_ptr's reset.
        delete Writer.release();
    } else {
        throw qov::EConvertError("unknown command " + command);
    }
}

} // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream args(line);
        std::string command;
        args >> command;
        try {
            Run(command, args);
            std::cout << "ok" << std::endl;
        } catch (const qov::Exception& e) {
            std::cout << "error " << typeid(e).name() << ": " << e.Message() << std::endl;
        } catch (const std::exception& e) {
            std::cout << "error std: " << e.what() << std::endl;
        }
    }
    return 0;
}
