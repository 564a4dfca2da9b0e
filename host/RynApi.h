#pragma once

// Import/export decoration for the agent's utility library. The native build links
// the declarations statically, so the macro is empty there.
#if defined(_WIN32)
#if defined(RYNUTIL_BUILD)
#define RYN_API __declspec(dllexport)
#else
#define RYN_API __declspec(dllimport)
#endif
#else
#define RYN_API
#endif
