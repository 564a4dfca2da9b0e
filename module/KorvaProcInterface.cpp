#include "module/KorvaProcInterface.h"

#include "module/KorvaProcInterfaceImp.h"

// The interface holds no data: copying copies nothing.
CKorvaProcInterface::CKorvaProcInterface() = default;

CKorvaProcInterface::CKorvaProcInterface(const CKorvaProcInterface&) {}

CKorvaProcInterface& CKorvaProcInterface::operator=(const CKorvaProcInterface&) { return *this; }

CKorvaProcInterface* GetKorvaProcInterface() {
    if (CSingleton<CKorvaProcInterfaceImp>::GetInstance() == nullptr) {
        CSingleton<CKorvaProcInterfaceImp>::CreateInstance();
    }
    return CSingleton<CKorvaProcInterfaceImp>::GetInstance();
}

void DestroyKorvaProcInterface() { CSingleton<CKorvaProcInterfaceImp>::DestroyInstance(); }
