#include "soc/soc.h"

#include <memory>

#include "core/board.h"
#include "soc/aic.h"
#include "soc/dbgu.h"
#include "soc/ebi.h"
#include "soc/pio.h"
#include "soc/pmc.h"
#include "soc/sdramc.h"

namespace vboard {

void attach_soc_models(Board& board) {
    board.attach(std::make_unique<Mc>(board));
    board.attach(std::make_unique<Aic>(board));
    board.attach(std::make_unique<Pmc>(board));
    for (int port = 0; port < 4; ++port) board.attach(std::make_unique<Pio>(board, port));
    board.attach(std::make_unique<Dbgu>(board));
    board.attach(std::make_unique<Ebi>(board));
    board.attach(std::make_unique<Smc>(board));
    board.attach(std::make_unique<Sdramc>(board));
}

}  // namespace vboard
