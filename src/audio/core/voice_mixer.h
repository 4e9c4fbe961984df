#pragma once

// Audio thread only: mixes every sounding voice into the core's piano and
// click buses for one chunk, advancing and freeing voices as it goes.

#include <cstdint>

#include "audio/core/simd_dispatch.h"

namespace quimbel {

struct RenderCore;

void mixVoices(RenderCore& core, std::int32_t frames) noexcept;

// The same mix one voice at a time, without vector lanes: the reference the
// lane version must match bit for bit.
void mixVoicesReference(RenderCore& core, std::int32_t frames) noexcept;

// The mix built for one instruction-set level (capped at what this
// processor runs), so that every build of it can be checked.
void mixVoicesAt(SimdLevel level, RenderCore& core, std::int32_t frames) noexcept;

}  // namespace quimbel
