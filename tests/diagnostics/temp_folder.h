#pragma once

#include "files/scratch.h"

namespace quimbel::testing {

using TempFolder = ::quimbel::ScratchDir;

}  // namespace quimbel::testing
