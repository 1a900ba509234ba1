#pragma once
#include <string>

// Whether Windows opens a file of this name as a device (CON, NUL, COM1, LPT1, ...) in any folder
// and with any extension.
bool IsDeviceName(const std::wstring& part);
