#pragma once
// Reduction of a full-size frame to a stream's size on the CPU: the average of each
// k × k block (an area filter, which keeps thin lines and small text readable where
// bilinear sampling drops them). Every back end that gets full-size frames uses it:
// X11 without XRender scaling, wlroots screen copy, the portal's PipeWire buffers.
// Output pixels are opaque. libyuv's box scaler was measured and left out: at
// factors 3 and 8 it differs from the block average by up to 148–198 levels.

#include <cstdint>

namespace overlook {

// `source` holds at least (outW * k) × (outH * k) pixels of 32 bits; 1 ≤ k ≤ 16.
void boxReduce(const std::uint8_t* source, int sourceStride, int k, std::uint8_t* dest, int destStride,
               int outW, int outH);

} // namespace overlook
