#include "soc/soc.h"

#include "core/board.h"

namespace vboard {

void attach_soc_models(Board&) {}

}  // namespace vboard
