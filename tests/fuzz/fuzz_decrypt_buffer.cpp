// Chained decryption of any length with a key from the first bytes: apart or
// in place it gives the same bytes, never touches a byte outside the buffer,
// and the chained encryption turns them back into the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "EEncrypt.h"

using namespace qov::exceptions;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t phraseLength = data[0] % 33 < size - 1 ? data[0] % 33 : size - 1;
    SetTeaKey(std::string(reinterpret_cast<const char*>(data + 1), phraseLength));
    const uint8_t* cipher = data + 1 + phraseLength;
    const uint32_t length = static_cast<uint32_t>(size - 1 - phraseLength);

    // Exactly sized buffers, so that a write or read past one is caught.
    std::unique_ptr<uint8_t[]> plain(new uint8_t[length]), inPlace(new uint8_t[length]),
        back(new uint8_t[length]);
    std::memcpy(inPlace.get(), cipher, length);
    DecryptBuffer(cipher, plain.get(), length);
    DecryptBuffer(inPlace.get(), inPlace.get(), length);
    if (std::memcmp(plain.get(), inPlace.get(), length) != 0)
        std::abort();
    EncryptBuffer(plain.get(), back.get(), length);
    if (std::memcmp(back.get(), cipher, length) != 0)
        std::abort();
    return 0;
}
