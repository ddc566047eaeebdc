#include "ERaise.h"

#include <new>

namespace qov::exceptions {

namespace {

// Plain data: valid before any static initialiser of the module has run (a
// hook may be the first to ask).
DWORD Slot = TLS_OUT_OF_INDEXES;
// Set by the library's end: no record is made any more.
bool Closed = false;

DWORD RecordSlot() noexcept
{
    if (Slot != TLS_OUT_OF_INDEXES || Closed)
        return Slot;
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES)
        return slot;
    // Two threads may come here at once: the first slot stays.
    LONG previous = InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&Slot), static_cast<LONG>(slot),
                                               static_cast<LONG>(TLS_OUT_OF_INDEXES));
    if (previous != static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
        TlsFree(slot);
        return static_cast<DWORD>(previous);
    }
    return slot;
}

// The record and its stack copy in one block of pages.
constexpr size_t RecordBytes = (sizeof(TRaiseRecord) + 63) & ~size_t{63};

// Frees the record of every thread that ends (the system calls the module's
// TLS callbacks at each thread's end, in a program and in a library alike).
void NTAPI RaiseRecordThreadEnd(PVOID, DWORD reason, PVOID)
{
    if (reason == DLL_THREAD_DETACH)
        FreeRaiseRecord();
}

} // namespace

TRaiseRecord* ExistingRaiseRecord() noexcept
{
    if (Slot == TLS_OUT_OF_INDEXES)
        return nullptr;
    DWORD error = GetLastError();
    auto* record = static_cast<TRaiseRecord*>(TlsGetValue(Slot));
    SetLastError(error);
    return record;
}

TRaiseRecord* CurrentRaiseRecord() noexcept
{
    DWORD error = GetLastError();
    DWORD slot = RecordSlot();
    TRaiseRecord* record = nullptr;
    if (slot != TLS_OUT_OF_INDEXES) {
        record = static_cast<TRaiseRecord*>(TlsGetValue(slot));
        if (!record) {
            void* block = VirtualAlloc(nullptr, RecordBytes + RaiseStackCopyLimit, MEM_RESERVE | MEM_COMMIT,
                                       PAGE_READWRITE);
            if (block) {
                record = new (block) TRaiseRecord;
                record->StackCopy = static_cast<uint8_t*>(block) + RecordBytes;
                if (!TlsSetValue(slot, record)) {
                    VirtualFree(block, 0, MEM_RELEASE);
                    record = nullptr;
                }
            }
        }
    }
    SetLastError(error);
    return record;
}

void FreeRaiseRecord() noexcept
{
    TRaiseRecord* record = ExistingRaiseRecord();
    if (!record)
        return;
    TlsSetValue(Slot, nullptr);
    delete record->ExceptObject;
    record->~TRaiseRecord();
    VirtualFree(record, 0, MEM_RELEASE);
}

void EndRaiseRecords() noexcept
{
    FreeRaiseRecord();
    Closed = true;
    DWORD slot = Slot;
    Slot = TLS_OUT_OF_INDEXES;
    if (slot != TLS_OUT_OF_INDEXES)
        TlsFree(slot);
}

} // namespace qov::exceptions

// The module's TLS directory (the run-time's) runs the callbacks between its
// markers .CRT$XLA and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLR"), used))
const PIMAGE_TLS_CALLBACK QovRaiseRecordThreadEnd = qov::exceptions::RaiseRecordThreadEnd;
