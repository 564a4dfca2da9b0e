#pragma once

// korvaProc.dll's export decoration; empty in the native build.
#if defined(_WIN32)
#if defined(KORVAPROC_BUILD)
#define KORVAPROC_API __declspec(dllexport)
#else
#define KORVAPROC_API __declspec(dllimport)
#endif
#else
#define KORVAPROC_API
#endif
