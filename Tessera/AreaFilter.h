#pragma once
// Reduction of a full-size grab to a stream's size on the client: the average of
// each k × k block (an area filter, which keeps thin lines that bilinear sampling
// drops). Output pixels are opaque.

#include <cstdint>

namespace overlook::x11 {

// `source` holds at least (outW * k) × (outH * k) pixels of 32 bits; 1 ≤ k ≤ 16.
void boxReduce(const std::uint8_t* source, int sourceStride, int k, std::uint8_t* dest, int destStride,
               int outW, int outH);

} // namespace overlook::x11
