#include "app/cli.h"

namespace quimbel::cli {

int runScreen(Args) { return usageError("screen", "not available in this build"); }

}  // namespace quimbel::cli
