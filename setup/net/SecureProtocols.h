#pragma once
#include <cstdint>
#include <functional>

// WinHTTP's protocol flags, for code that cannot include <winhttp.h>.
constexpr uint32_t kProtocolTls12 = 0x800;
constexpr uint32_t kProtocolTls13 = 0x2000;

// Offers TLS 1.2 and 1.3 together, and TLS 1.2 alone where that is refused (Windows before 11 and
// Server 2022 know no TLS 1.3). The set `offer` accepted, or 0 when it refused both: the session
// must then not be used, as the system's defaults may still allow older protocols.
uint32_t ChooseSecureProtocols(const std::function<bool(uint32_t protocols)>& offer);
