// COM initialisation for POSIX systems: a per-thread count, no COM objects.
#pragma once

#include <windows.h>

extern "C" {
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
}
