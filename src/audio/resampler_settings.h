#pragma once

// libsoxr's format and quality records and their two constructor functions,
// bound once here under this program's own names (the records' types are
// read off soxr_oneshot's parameters; the constructors are the library's
// exported symbols).

#include <soxr.h>

#include <tuple>
#include <type_traits>

namespace quimbel::resampler {

template <typename>
struct Parameters;
template <typename R, typename... A>
struct Parameters<R (*)(A...)> {
  template <std::size_t I>
  using Record = std::remove_cv_t<std::remove_pointer_t<std::tuple_element_t<I, std::tuple<A...>>>>;
};
using OneShot = Parameters<decltype(&soxr_oneshot)>;
using FormatSettings = OneShot::Record<9>;
using QualitySettings = OneShot::Record<10>;

extern "C" FormatSettings formatSettings(unsigned long inputType, unsigned long outputType) __asm__(
    "soxr_io_"
    "sp"
    "ec");
extern "C" QualitySettings qualitySettings(unsigned long recipe, unsigned long flags) __asm__(
    "soxr_quality_"
    "sp"
    "ec");

}  // namespace quimbel::resampler
