#pragma once

namespace quimbel {

// Where the pad model is in the life of a take: ready to play, counting in,
// recording, or holding a finished take. The pad model publishes it as
// PadModel::State; the screen and the exports only read it.
enum class PadState { ready, count, rec, done };

}  // namespace quimbel
