// Feeds arbitrary bytes to the reader of the control's stored form record, as
// any container or document may hand them over. A refused record must leave
// the properties untouched; an accepted one must agree with the length walker
// and come back unchanged through the writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FormRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace qov;
    size_t walked = 0;
    bool walkFailed = false;
    try {
        walked = FormRecordLength(data, size);
    } catch (const EStreamError&) {
        walkFailed = true;
    }

    TFormProperties props;
    size_t length = 0;
    try {
        length = ReadFormRecord(data, size, props);
    } catch (const EStreamError&) {
        if (!(props == TFormProperties()))
            std::abort();  // a refused record changed something
        return 0;  // the walker checks the layout only, not the values
    }
    if (walkFailed || walked != length || length > size)
        std::abort();

    const std::vector<uint8_t> written = WriteFormRecord(props);
    TFormProperties again;
    if (ReadFormRecord(written.data(), written.size(), again) != written.size() || !(again == props))
        std::abort();
    return 0;
}
