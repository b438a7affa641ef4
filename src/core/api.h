// Native callers in the same process use the system's classes and functions: they are exported
// from the module even where their signatures name the binding library's (hidden) types.
#pragma once

#if defined(_WIN32)
#define TOLVEX_API __declspec(dllexport)
#elif defined(__GNUC__)
#define TOLVEX_API __attribute__((visibility("default")))
#else
#define TOLVEX_API
#endif
