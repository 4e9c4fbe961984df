#include "app/app_delegate.h"

namespace quimbel {

void AppDelegate::wireFoot() {}

}  // namespace quimbel
