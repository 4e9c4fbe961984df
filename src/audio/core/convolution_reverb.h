#pragma once

// Thread contract: setUpReverb and tearDownReverb run on the thread that
// creates or destroys the owning core (FFT plans are made under one
// process-wide mutex, since the FFT planner is not thread-safe).
// reverbTick runs on the audio thread only and never allocates, locks or
// calls the system; it only executes plans made at set-up.

#include <cstdint>

struct fftwf_plan_s;

namespace quimbel {

inline constexpr int ReverbBlockFrames = 512;
inline constexpr int ReverbFftSize = 1024;
inline constexpr int ReverbBins = 513;
// Real and imaginary arrays of one spectrum are padded to a whole number of
// 64-byte lines, so that the multiply-add loop runs over full vectors.
inline constexpr int ReverbBinStride = 528;
inline constexpr int ReverbSpectrumFloats = 2 * ReverbBinStride;

// A stereo convolution reverb: a synthetic room response convolved with the
// input by uniformly partitioned FFT convolution (512-frame partitions, a
// frequency-domain delay line). Output lags the input by exactly 512 frames.
struct ConvolutionReverb {
  std::int32_t partitions = 0;
  // Spectra are stored per partition as ReverbBinStride real parts then
  // ReverbBinStride imaginary parts. Impulse-response spectra are scaled so
  // that a forward and an inverse transform give the exact convolution.
  float* irLeft = nullptr;
  float* irRight = nullptr;
  float* fdlLeft = nullptr;
  float* fdlRight = nullptr;
  float* inputLeft = nullptr;  // 1024: previous block, then the block being filled
  float* inputRight = nullptr;
  float* outputLeft = nullptr;  // 512: the wet block being played out
  float* outputRight = nullptr;
  float* scratch = nullptr;      // 1024: inverse transform result
  float* accumulator = nullptr;  // one spectrum
  std::int32_t blockIndex = 0;
  std::int32_t head = 0;
  std::int32_t silentBlocks = 0;
  fftwf_plan_s* forwardPlan = nullptr;
  fftwf_plan_s* inversePlan = nullptr;
  void* memory = nullptr;  // one allocation holding every array above
};

// Writes the room response for a rate into left and right (capacity frames
// each) and returns its length: 1.7 s of filtered noise from a fixed seed.
std::int32_t makeImpulseResponse(float* left, float* right, std::int32_t capacity, double rate);

// Fills a default-constructed reverb for a rate; false when memory or the
// FFT plans could not be had (the reverb is then left torn down).
bool setUpReverb(ConvolutionReverb& reverb, double rate);
void tearDownReverb(ConvolutionReverb& reverb);

// Runs the FFT work at the end of a 512-frame input block.
void reverbProcessBlock(ConvolutionReverb& reverb) noexcept;

// One stereo frame in, one wet frame out (512 frames late).
inline void reverbTick(ConvolutionReverb& reverb, float& outLeft, float& outRight, float inLeft,
                       float inRight) noexcept {
  const int index = reverb.blockIndex;
  outLeft = reverb.outputLeft[index];
  outRight = reverb.outputRight[index];
  reverb.inputLeft[ReverbBlockFrames + index] = inLeft;
  reverb.inputRight[ReverbBlockFrames + index] = inRight;
  if (index + 1 != ReverbBlockFrames) {
    reverb.blockIndex = index + 1;
    return;
  }
  reverb.blockIndex = 0;
  reverbProcessBlock(reverb);
}

}  // namespace quimbel
