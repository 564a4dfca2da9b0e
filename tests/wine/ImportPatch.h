#pragma once

// Counts what a loaded DLL asks of another, from outside it: every slot of the
// DLL's import address table that holds a given function is pointed at a
// replacement for the object's lifetime. The DLL itself is not changed on disk
// and carries no test hook.

#include <windows.h>

#include <vector>

namespace acceptance {

class ImportPatch {
  public:
    ImportPatch(HMODULE importer, const void* target, const void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // How many import slots were redirected; 0 when the importer does not import target.
    size_t slots() const { return m_slots.size(); }

  private:
    static void Write(void** slot, const void* value);

    const void* m_target;
    std::vector<void**> m_slots;
};

}  // namespace acceptance
