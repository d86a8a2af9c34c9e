// A request that carries its own number in several fields and names a code outside
// the command table, so the service sends it back unchanged: a reply that belongs to
// another request shows at once. Shared by the host tests and the Windows load check.
#pragma once

#include "service/pipe_request.h"

#include <cstdint>
#include <cstring>

inline PipeRequest NumberedRequest(std::uint32_t n)
{
    PipeRequest r;
    std::memset(&r, 0, sizeof r);
    r.Command = 0x70000000u + n;  // outside the table: the reply is the request
    r.StartAdrs = n;
    r.CardIndex = ~n;
    for (std::size_t i = 0; i < sizeof r.LogTitle; ++i) r.LogTitle[i] = static_cast<char>('A' + (n + i) % 26);
    return r;
}

// The reply is the request sent back: every byte but LastError, which the service sets.
inline bool EchoOf(const PipeRequest& request, PipeRequest reply)
{
    reply.LastError = request.LastError;
    return std::memcmp(&reply, &request, sizeof reply) == 0;
}
