#pragma once

// What korvaProc.dll uses of the agent's network library korvaNetWork.dll.

#include <string>

#include "module/Singleton.h"

#if defined(_WIN32)
#if defined(KORVANET_BUILD)
#define KORVANET_API __declspec(dllexport)
#else
#define KORVANET_API __declspec(dllimport)
#endif
#else
#define KORVANET_API
#endif

class CNetWork;

// The channel's instance lives in korvaNetWork.dll, so every module of the agent
// that asks for it sees the same one.
template <>
class KORVANET_API CSingleton<CNetWork> {
public:
    static CNetWork* GetInstance();
    static CNetWork* CreateInstance();
    static void DestroyInstance();
};

class KORVANET_API CNetWork {
public:
    // Copies both texts before it returns; safe from any thread; never throws. False
    // when the message could not be handed on.
    bool SendNetMessage(const std::string& type, const std::string& body);
};
