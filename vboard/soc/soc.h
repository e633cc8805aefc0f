// The on-chip peripherals of the AT91RM9200 that the core models (every one
// but the USB device port), attached to a Board by its constructor.
#pragma once

namespace vboard {

class Board;

void attach_soc_models(Board& board);

}  // namespace vboard
