#include "app/cli.h"

namespace quimbel::cli {

int runRender(Args) { return usageError("render", "not available in this build"); }

}  // namespace quimbel::cli
