#pragma once

// Thread contract: setUpReverb and tearDownReverb run on the thread that
// creates or destroys the owning core (FFT plans are made under one
// process-wide mutex, since the FFT planner is not thread-safe).
// reverbTick runs on the audio thread only and never allocates, locks or
// calls the system; it only executes plans made at set-up.

#include <cstddef>
#include <cstdint>

struct fftwf_plan_s;

namespace quimbel {

// The head: 512-frame partitions, both channels in one 1024-point complex
// transform. The wet output lags the input by one head block.
inline constexpr int ReverbBlockFrames = 512;
inline constexpr int ReverbFftSize = 1024;
inline constexpr int ReverbBins = 513;
// Real and imaginary arrays of one spectrum are padded to a whole number of
// 64-byte lines, so that the multiply-add loop runs over full vectors.
inline constexpr int ReverbBinStride = 528;
inline constexpr int ReverbSpectrumFloats = 2 * ReverbBinStride;

// The tail: 4096-frame partitions, both channels in one 8192-point complex
// transform. A tail block's result is first needed one whole tail block
// after its input is complete, so its work is spread over the 128-frame
// steps of that time instead of landing on one render call. That sets
// where the tail starts: 2 × 4096 − 512 frames into the response, the
// head covering the 15 partitions before it.
inline constexpr int ReverbStepFrames = 128;
inline constexpr int ReverbHeadPartitions = 15;
inline constexpr int ReverbTailFrames = 4096;
inline constexpr int ReverbTailFftSize = 8192;
inline constexpr int ReverbTailBins = 4097;
inline constexpr int ReverbTailBinStride = 4224;  // 8 runs of 528 bins
inline constexpr int ReverbTailSpectrumFloats = 2 * ReverbTailBinStride;
inline constexpr int ReverbTailStart = ReverbHeadPartitions * ReverbBlockFrames;
// The 8192-point transform as 64 × 128: columns of 64 points, rows of 128.
inline constexpr int ReverbTailColumns = 128;
inline constexpr int ReverbTailRows = 64;
// Plans per pass of the transform: each runs over one share of the
// columns or of the rows.
inline constexpr int ReverbTailFftParts = 2;

// A stereo convolution reverb: a synthetic room response convolved with the
// input by non-uniformly partitioned FFT convolution (a frequency-domain
// delay line of 512-frame partitions for the head of the response, one of
// 4096-frame partitions for the rest). Output lags the input by exactly 512
// frames.
struct ConvolutionReverb {
  std::int32_t partitions = 0;      // head partitions, at most 15
  std::int32_t tailPartitions = 0;  // 0 when the response ends within the head
  // Every response spectrum in one run (head left, head right, tail left,
  // tail right), scaled so that the transforms give the exact convolution.
  float* response = nullptr;
  std::size_t responseFloats = 0;
  // Head spectra are stored per partition as ReverbBinStride real parts then
  // ReverbBinStride imaginary parts; tail spectra the same with
  // ReverbTailBinStride.
  float* irLeft = nullptr;
  float* irRight = nullptr;
  float* tailIrLeft = nullptr;
  float* tailIrRight = nullptr;
  float* fdlLeft = nullptr;
  float* fdlRight = nullptr;
  float* tailFdlLeft = nullptr;
  float* tailFdlRight = nullptr;
  float* inputLeft = nullptr;  // 1024: previous block, then the block being filled
  float* inputRight = nullptr;
  float* outputLeft = nullptr;  // 512: the wet block being played out
  float* outputRight = nullptr;
  float* scratch = nullptr;       // 2 × 1024: the inverse transform's left and right
  float* headSpectrum = nullptr;  // 2 × 1024: real and imaginary parts of both channels
  float* accumulator = nullptr;   // left then right head spectrum
  // 2 × 4096 per channel: the tail block being filled and the one before,
  // their halves taking turns.
  float* tailWindowLeft = nullptr;
  float* tailWindowRight = nullptr;
  float* tailWork = nullptr;         // 8192 interleaved complex values: frames
  float* tailSpectrum = nullptr;     // 8192 interleaved complex values: bins
  float* tailTwiddles = nullptr;     // 8192 interleaved complex values
  float* tailAccumulator = nullptr;  // left then right tail spectrum
  float* tailOutput = nullptr;       // 2 results × (4096 left, 4096 right)
  std::int32_t blockIndex = 0;       // 0..511, position inside the head block
  std::int32_t head = 0;
  std::int32_t silentBlocks = 0;  // consecutive all-zero head blocks
  std::int32_t tailSlot = 0;      // head blocks completed in the current tail block, 0..7
  std::int32_t tailFilling = 0;   // the window half being filled
  std::int32_t tailPlaying = 0;   // the result being played out
  std::int32_t tailHead = 0;
  std::int32_t tailSilent = 0;  // consecutive all-zero tail blocks
  bool tailBusy = false;        // a tail block's work is under way
  bool tailResultClear[2] = {true, true};
  fftwf_plan_s* forwardPlan = nullptr;
  fftwf_plan_s* inversePlan = nullptr;
  fftwf_plan_s* tailColumnsForward[ReverbTailFftParts] = {};
  fftwf_plan_s* tailRowsForward[ReverbTailFftParts] = {};
  fftwf_plan_s* tailRowsInverse[ReverbTailFftParts] = {};
  fftwf_plan_s* tailColumnsInverse[ReverbTailFftParts] = {};
  void* memory = nullptr;  // one allocation holding every array above
};

// Writes the room response for a rate into left and right (capacity frames
// each) and returns its length: 1.7 s of filtered noise from a fixed seed.
std::int32_t makeImpulseResponse(float* left, float* right, std::int32_t capacity, double rate);

// Fills a default-constructed reverb for a rate; false when memory or the
// FFT plans could not be had (the reverb is then left torn down).
bool setUpReverb(ConvolutionReverb& reverb, double rate);
void tearDownReverb(ConvolutionReverb& reverb);

// True while the delay lines hold only silence and no transform runs.
bool reverbIdle(const ConvolutionReverb& reverb) noexcept;

// Runs the work due after every 128th input frame: the head block's
// transforms at the end of a head block, a share of the tail's otherwise.
void reverbStep(ConvolutionReverb& reverb) noexcept;

// One stereo frame in, one wet frame out (512 frames late).
inline void reverbTick(ConvolutionReverb& reverb, float& outLeft, float& outRight, float inLeft,
                       float inRight) noexcept {
  const int index = reverb.blockIndex;
  outLeft = reverb.outputLeft[index];
  outRight = reverb.outputRight[index];
  reverb.inputLeft[ReverbBlockFrames + index] = inLeft;
  reverb.inputRight[ReverbBlockFrames + index] = inRight;
  if (((index + 1) & (ReverbStepFrames - 1)) != 0) {
    reverb.blockIndex = index + 1;
    return;
  }
  reverbStep(reverb);
}

}  // namespace quimbel
