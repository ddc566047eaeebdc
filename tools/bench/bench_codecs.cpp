// bench_codecs: the exception-reporting library's codecs and archives beside
// the platform's own, on 1 MiB and 16 MiB of report text and of PNG data.
//  - Windows (run under Wine): Md5Digest against BCryptHash (MD5),
//    Base64EncodeBuffer against CryptBinaryToStringA (base64 without line
//    breaks), CompressBuffer against compress2 at level 9, SaveGzip against
//    zlib's gzip writer at level 9;
//  - natively: Md5Digest and Base64EncodeBuffer against OpenSSL.
// Each pair runs side by side, alternating, and the best of several rounds
// counts. The ratio is the platform's time over ours: 1 or more means ours
// is as fast.
#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#else
#include <openssl/evp.h>
#include <time.h>
#endif
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "EBase64.h"
#include "EEncrypt.h"
#include "ETarGZip.h"
#include "EZlib.h"

using namespace qov::exceptions;

namespace {

double NowMs()
{
#if defined(_WIN32)
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / frequency.QuadPart;
#else
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
#endif
}

volatile size_t Sink;

// Report text as the library writes it: sections of items and call stacks.
std::string ReportText(size_t size)
{
    std::string text;
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245 + 12345; };
    while (text.size() < size) {
        char line[160];
        std::snprintf(line, sizeof line, "  %08X  %-16s Unit%-3u TForm%u.Button%uClick (line %u)\r\n",
                      0x00400000 + (next() >> 12 & 0xFFFFF), (next() >> 16) % 3 ? "prog.exe" : "kernel32.dll",
                      (next() >> 16) % 40, (next() >> 16) % 9, (next() >> 16) % 20, (next() >> 16) % 3000);
        text += line;
        if ((next() >> 16) % 40 == 0)
            text += "\r\nGeneral:\r\n--------\r\n1.1 Date          : Wed, 9 Dec 2026 11:45:23 +0800\r\n"
                    "1.2 Application   : C:\\Program Files\\Corvane\\QovPlayer.exe\r\n";
    }
    text.resize(size);
    return text;
}

// PNG data as the screenshot writes it: the signature, a header chunk and
// chunks of a desktop picture's rows deflated at level 9.
std::string PngData(size_t size)
{
    std::string png("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    png.append(17, '\0');
    const int width = 1280;
    std::string rows;
    unsigned seed = 777;
    for (int y = 0; rows.size() < size * 2; ++y) {
        rows.push_back('\1'); // sub filter
        for (int x = 0; x < width * 3; ++x) {
            seed = seed * 1664525 + 1013904223;
            // Flat areas, edges and noisy picture regions.
            unsigned r = seed >> 24;
            rows.push_back(static_cast<char>(r < 160 ? 0 : r < 200 ? (x + y) & 0xFF : r));
        }
    }
    std::string packed = CompressBuffer(rows.data(), static_cast<int32_t>(rows.size()));
    png += std::string("\0\0\0\0IDAT", 8);
    while (png.size() < size)
        png += packed;
    png.resize(size);
    return png;
}

struct TResult {
    double Ours = 1e300;
    double Theirs = 1e300;
};

// Best times of ours and theirs over rounds, run alternately.
TResult Compare(int rounds, const std::function<void()>& ours, const std::function<void()>& theirs)
{
    TResult result;
    for (int r = 0; r < rounds; ++r) {
        double start = NowMs();
        ours();
        double middle = NowMs();
        theirs();
        double end = NowMs();
        if (middle - start < result.Ours)
            result.Ours = middle - start;
        if (end - middle < result.Theirs)
            result.Theirs = end - middle;
    }
    return result;
}

void Print(const char* what, const char* data, size_t size, const char* platform, const TResult& r)
{
    const double mib = size / 1048576.0;
    std::printf("%-20s %-11s %3zu MiB  ours %9.2f ms (%7.1f MiB/s)  %-22s %9.2f ms (%7.1f MiB/s)  ratio %.2f\n",
                what, data, size >> 20, r.Ours, mib / (r.Ours / 1000), platform, r.Theirs,
                mib / (r.Theirs / 1000), r.Theirs / r.Ours);
    std::fflush(stdout);
}

int Rounds(size_t size, int small, int large)
{
    return size > (1u << 20) ? large : small;
}

#if defined(_WIN32)

// BCryptHash exists from Windows 10 on (and in Wine); the headers declare it
// only for that target, so it is looked up by name.
using TBCryptHash = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, PUCHAR, ULONG, PUCHAR, ULONG);

void Platform(const std::string& data, const char* name, const std::string& folder)
{
    const size_t size = data.size();
    const ULONG length = static_cast<ULONG>(size);
    BCRYPT_ALG_HANDLE md5 = nullptr;
    if (BCryptOpenAlgorithmProvider(&md5, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) {
        std::printf("BCryptOpenAlgorithmProvider(MD5) failed\n");
        std::exit(1);
    }
    const auto bcryptHash = reinterpret_cast<TBCryptHash>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("bcrypt.dll"), "BCryptHash")));
    if (!bcryptHash) {
        std::printf("bcrypt.dll has no BCryptHash\n");
        std::exit(1);
    }
    uint8_t digest[16], platformDigest[16];
    Print("Md5Digest", name, size, "BCryptHash(MD5)",
          Compare(Rounds(size, 20, 4), [&] { Md5Digest(digest, data.data(), length); },
                  [&] {
                      bcryptHash(md5, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                 length, platformDigest, sizeof platformDigest);
                  }));
    if (std::memcmp(digest, platformDigest, 16) != 0)
        std::printf("  digests differ!\n");
    BCryptCloseAlgorithmProvider(md5, 0);

    std::string ours, theirs;
    Print("Base64EncodeBuffer", name, size, "CryptBinaryToStringA",
          Compare(Rounds(size, 20, 4), [&] { ours = Base64EncodeBuffer(data.data(), size); },
                  [&] {
                      // A new text each time, as Base64EncodeBuffer gives
                      // (assigning an empty string would keep the old
                      // text's memory and spare this side its allocation).
                      std::string text;
                      const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
                      DWORD chars = 0;
                      CryptBinaryToStringA(reinterpret_cast<const BYTE*>(data.data()), length, flags,
                                           nullptr, &chars);
                      text.resize(chars);
                      CryptBinaryToStringA(reinterpret_cast<const BYTE*>(data.data()), length, flags,
                                           text.data(), &chars);
                      text.resize(chars);
                      theirs = std::move(text);
                  }));
    if (ours != theirs)
        std::printf("  Base64 texts differ (%zu / %zu characters)!\n", ours.size(), theirs.size());

    std::string packed;
    std::string platformPacked(compressBound(length), '\0');
    uLongf platformSize = 0;
    Print("CompressBuffer", name, size, "compress2 level 9",
          Compare(Rounds(size, 3, 1), [&] { packed = CompressBuffer(data.data(), static_cast<int32_t>(size)); },
                  [&] {
                      platformSize = static_cast<uLongf>(platformPacked.size());
                      compress2(reinterpret_cast<Bytef*>(platformPacked.data()), &platformSize,
                                reinterpret_cast<const Bytef*>(data.data()), length, 9);
                  }));
    if (packed.size() != platformSize)
        std::printf("  compressed sizes differ (%zu / %lu)\n", packed.size(), static_cast<unsigned long>(platformSize));

    const std::string ourFile = folder + "bench_codecs_ours.tgz", theirFile = folder + "bench_codecs_zlib.gz";
    Print("SaveGzip", name, size, "gzopen/gzwrite wb9",
          Compare(Rounds(size, 3, 1), [&] { SaveGzip(data, ourFile); },
                  [&] {
                      gzFile file = gzopen(theirFile.c_str(), "wb9");
                      gzwrite(file, data.data(), length);
                      gzclose(file);
                  }));
    DeleteFileA(ourFile.c_str());
    DeleteFileA(theirFile.c_str());
}

#else

void Platform(const std::string& data, const char* name, const std::string&)
{
    const size_t size = data.size();
    uint8_t digest[16], platformDigest[16];
    unsigned platformLength = 0;
    Print("Md5Digest", name, size, "OpenSSL EVP md5",
          Compare(Rounds(size, 20, 4), [&] { Md5Digest(digest, data.data(), static_cast<uint32_t>(size)); },
                  [&] { EVP_Digest(data.data(), size, platformDigest, &platformLength, EVP_md5(), nullptr); }));
    if (std::memcmp(digest, platformDigest, 16) != 0)
        std::printf("  digests differ!\n");

    std::string ours, theirs;
    Print("Base64EncodeBuffer", name, size, "OpenSSL EVP_EncodeBlock",
          Compare(Rounds(size, 20, 4), [&] { ours = Base64EncodeBuffer(data.data(), size); },
                  [&] {
                      // A new text each time, as Base64EncodeBuffer gives.
                      std::string text;
                      text.resize((size + 2) / 3 * 4 + 1);
                      int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                              reinterpret_cast<const unsigned char*>(data.data()),
                                              static_cast<int>(size));
                      text.resize(static_cast<size_t>(n));
                      theirs = std::move(text);
                  }));
    if (ours != theirs)
        std::printf("  Base64 texts differ!\n");
}

#endif

} // namespace

int main()
{
#if defined(_WIN32)
    std::printf("bench_codecs: %s build (under Wine: the platform calls are Wine's)\n",
                sizeof(void*) == 8 ? "x86_64" : "i686");
    char tempFolder[MAX_PATH];
    GetTempPathA(MAX_PATH, tempFolder);
    const std::string folder = tempFolder;
#else
    std::printf("bench_codecs: native build\n");
#if defined(__SANITIZE_ADDRESS__)
    std::printf("  (built with AddressSanitizer: the figures do not count)\n");
#endif
    const std::string folder;
#endif
    for (size_t size : {size_t(1) << 20, size_t(16) << 20}) {
        const std::string text = ReportText(size), png = PngData(size);
        Platform(text, "report text", folder);
        Platform(png, "PNG data", folder);
    }
    return 0;
}
