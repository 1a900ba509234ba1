#include "SecureProtocols.h"

uint32_t ChooseSecureProtocols(const std::function<bool(uint32_t protocols)>& offer)
{
    for (const uint32_t protocols : {kProtocolTls12 | kProtocolTls13, kProtocolTls12})
        if (offer(protocols)) return protocols;
    return 0;
}
