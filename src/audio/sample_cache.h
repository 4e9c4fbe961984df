#pragma once

// Piano samples converted to an output rate, kept between runs in the
// user's cache folder, so that a core at a rate other than the recordings'
// pays for the conversion only once. An entry holds one note at one rate,
// exactly as the core plays it. It is named by note and rate and carries the
// key of what it was made from (the recording's PCM and rate, the target
// rate and the converter's settings), so an entry made from other
// recordings is found stale and replaced; a checksum over the whole entry
// finds a damaged one. Neither is ever played.
//
// Thread contract: any thread but the audio thread; different notes may be
// read and written from different threads, and by several processes, at
// once. Entries are written aside and renamed into place, so a reader never
// sees half an entry.

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace quimbel {

struct CoreSample;

// $QUIMBEL_CACHE_DIR when set; else nothing in a test run; else
// $XDG_CACHE_HOME/Quimbel/Samples (an absolute XDG_CACHE_HOME only), else
// ~/.cache/Quimbel/Samples. Empty means that nothing is kept.
std::filesystem::path sampleCacheFolder();

// The kept sample of `note` at `rate` made from what `key` names; null when
// there is none, or it is stale or damaged.
CoreSample* loadCachedSample(const std::filesystem::path& folder, int note, double rate,
                             std::uint64_t key);

// Keeps the sample for the next run. A failure only means that the next run
// converts again.
void storeCachedSample(const std::filesystem::path& folder, int note, double rate,
                       std::uint64_t key, const CoreSample& sample);

// A 64-bit digest of `size` bytes, chained from `seed`: cheap enough to run
// over the whole piano, not meant to withstand deliberate collisions.
std::uint64_t digestBytes(const void* data, std::size_t size, std::uint64_t seed);

}  // namespace quimbel
