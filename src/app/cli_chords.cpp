#include "app/cli.h"

namespace quimbel::cli {

int runChords(Args) { return usageError("chords", "not available in this build"); }

}  // namespace quimbel::cli
