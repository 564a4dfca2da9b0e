#pragma once

// The exported interface of korvaProc.dll, as the agent's service uses it.

#include <string>

#include "module/KorvaProcApi.h"

class KORVAPROC_API CKorvaProcInterface {
  public:
    CKorvaProcInterface();
    CKorvaProcInterface(const CKorvaProcInterface& other);
    CKorvaProcInterface& operator=(const CKorvaProcInterface& other);

    // Starts one collection pass: 1 started, -1 a pass is running, -2 no thread.
    virtual int Start(const std::string& cmdIdx, const std::string& triggerType) = 0;
    // Asks a running pass to end at its next checkpoint; does not wait.
    virtual void Stop() = 0;

  protected:
    // Not virtual on purpose: the object is destroyed only by DestroyKorvaProcInterface.
    ~CKorvaProcInterface() = default;
};

extern "C" {
// Creates the single instance on the first call; the same pointer until destroyed.
KORVAPROC_API CKorvaProcInterface* GetKorvaProcInterface();
// Stops and waits for a running pass, then deletes the instance. The caches stay.
KORVAPROC_API void DestroyKorvaProcInterface();
}
