#include "ImportPatch.h"

namespace acceptance {

ImportPatch::ImportPatch(HMODULE importer, const void* target, const void* replacement)
    : m_target(target) {
    BYTE* base = reinterpret_cast<BYTE*>(importer);
    if (base == nullptr || target == nullptr) {
        return;
    }
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return;
    }
    for (const IMAGE_IMPORT_DESCRIPTOR* library =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        for (IMAGE_THUNK_DATA* slot =
                 reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
             slot->u1.Function != 0; ++slot) {
            void** address = reinterpret_cast<void**>(&slot->u1.Function);
            if (*address == target) {
                Write(address, replacement);
                m_slots.push_back(address);
            }
        }
    }
}

ImportPatch::~ImportPatch() {
    for (void** slot : m_slots) {
        Write(slot, m_target);
    }
}

void ImportPatch::Write(void** slot, const void* value) {
    DWORD previous = 0;
    if (VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &previous)) {
        *slot = const_cast<void*>(value);
        VirtualProtect(slot, sizeof(void*), previous, &previous);
    }
}

}  // namespace acceptance
