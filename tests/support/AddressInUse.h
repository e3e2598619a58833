#pragma once
// A resolver for platform::SetResolverForTesting that fails the next
// AddressInUseLookups lookups as the system does when no local address is
// free (EAI_SYSTEM with EADDRINUSE, which the client reports as "Socket
// Error # 10048"), then resolves every name to 127.0.0.1.
#include <cerrno>
#include <netdb.h>

namespace kartivo::testing {

// Lookups left to fail: set before the run, read after it; in between only
// the thread that makes the requests touches it.
inline int AddressInUseLookups = 0;

inline int AddressInUseResolver(const char*, const char* service, const addrinfo* hints, addrinfo** res)
{
    if (AddressInUseLookups > 0) {
        --AddressInUseLookups;
        errno = EADDRINUSE;
        return EAI_SYSTEM;
    }
    addrinfo numeric = *hints;
    numeric.ai_family = AF_INET;
    numeric.ai_flags |= AI_NUMERICHOST;
    return ::getaddrinfo("127.0.0.1", service, &numeric, res);
}

} // namespace kartivo::testing
