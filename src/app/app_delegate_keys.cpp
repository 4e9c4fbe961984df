#include "app/app_delegate.h"

namespace quimbel {

void AppDelegate::wireKeys() {}

}  // namespace quimbel
