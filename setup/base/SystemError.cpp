#include "SystemError.h"

#include "Text.h"

// Off Windows the C library's texts are the system's.
std::wstring SystemErrorText(uint32_t code)
{
    return Utf8ToWide(std::system_category().message(static_cast<int>(code)));
}

std::wstring ErrorCodeText(const std::error_code& error)
{
    return Utf8ToWide(error.message());
}
