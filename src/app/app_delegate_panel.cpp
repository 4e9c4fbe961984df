#include "app/app_delegate.h"

namespace quimbel {

void AppDelegate::wirePanel() {}

}  // namespace quimbel
