#include "base/heap.h"

#include "base/format.h"

#include <string.h>

// A 32-bit build prints an address is "%#010x"; a 64-bit build prints all 64 bits.
#ifdef _WIN64
#define ADDRESS_FORMAT L"%#018I64x"
static unsigned __int64 AddressOf(const void* p) {
    return reinterpret_cast<UINT_PTR>(p);
}
#else
#define ADDRESS_FORMAT L"%#010x"
static unsigned AddressOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p));
}
#endif

static void WriteWord(BYTE* at, DWORD value) {
    memcpy(at, &value, sizeof value);
}
static DWORD ReadWord(const BYTE* at) {
    DWORD value;
    memcpy(&value, at, sizeof value); // the trailer is unaligned whenever N is not a multiple of 4
    return value;
}

void* GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (size > 0xFFFFFFFF - GuardOverhead) return nullptr;
    BYTE* block = static_cast<BYTE*>(HeapAlloc(heap, flags, size + GuardOverhead));
    if (!block) return nullptr;
    WriteWord(block, GuardHeader1);
    WriteWord(block + 4, GuardHeader2);
    WriteWord(block + 8, static_cast<DWORD>(size));
    WriteWord(block + 12 + size, GuardTrailer1);
    WriteWord(block + 16 + size, GuardTrailer2);
    return block + 12;
}

void* GuardedAlloc(SIZE_T size) {
    return GuardedHeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

wchar_t* GuardedAllocChars(SIZE_T chars) {
    if (chars > (0xFFFFFFFF - GuardOverhead) / sizeof(wchar_t)) return nullptr;
    return static_cast<wchar_t*>(GuardedAlloc(chars * sizeof(wchar_t)));
}

// Checks both guards of a block and reports damage to the debugger; true when intact.
static bool GuardsIntact(const BYTE* data) {
    const BYTE* block = data - 12;
    if (ReadWord(block) != GuardHeader1 || ReadWord(block + 4) != GuardHeader2) {
        DebugPrint(L"Memory Heap corrupt at " ADDRESS_FORMAT L". Header has been overwritten.",
                   AddressOf(data));
        return false;
    }
    DWORD size = ReadWord(block + 8);
    if (ReadWord(data + size) != GuardTrailer1 || ReadWord(data + size + 4) != GuardTrailer2) {
        DebugPrint(
            L"Memory Heap corrupt at " ADDRESS_FORMAT L". Written data exceeds allocation of %u bytes.",
            AddressOf(data), size);
        return false;
    }
    return true;
}

BOOL GuardedHeapFree(HANDLE heap, void* data) {
    if (!data) {
        DebugPrint(L"Attempt to free NULL pointer.");
        return FALSE;
    }
    BYTE* bytes = static_cast<BYTE*>(data);
    if (!GuardsIntact(bytes)) return FALSE; // a damaged block stays allocated
    return HeapFree(heap, 0, bytes - 12);
}

void GuardedFree(void* data) {
    GuardedHeapFree(GetProcessHeap(), data);
}

void* GuardedHeapReAlloc(HANDLE heap, void* data, SIZE_T size) {
    if (!data) {
        DebugPrint(L"Attempt to ReAlloc NULL pointer.");
        return nullptr;
    }
    BYTE* bytes = static_cast<BYTE*>(data);
    if (!GuardsIntact(bytes)) return nullptr;
    if (size > 0xFFFFFFFF - GuardOverhead) return nullptr;
    BYTE* block = static_cast<BYTE*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, bytes - 12, size + GuardOverhead));
    if (!block) return nullptr;
    WriteWord(block + 8, static_cast<DWORD>(size));
    WriteWord(block + 12 + size, GuardTrailer1);
    WriteWord(block + 16 + size, GuardTrailer2);
    DebugPrint(L"Reallocated %u bytes at " ADDRESS_FORMAT L".", static_cast<unsigned>(size),
               AddressOf(block + 12));
    return block + 12;
}
