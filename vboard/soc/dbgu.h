// Debug unit (DBGU) at 0xFFFFF200: the board's debug serial console.
//
// Transmitter: DBGU_THR feeds a holding register in front of a shift
// register. A character moves to the shift register as soon as it is free,
// then occupies it for 10 bit times (start, 8 data, stop) at the baud rate
// MCK / (16 * CD), MCK taken as 48 MHz, CD from DBGU_BRGR; when it leaves, it
// goes to BoardConfig::console. TXRDY is set while the transmitter is enabled
// and the holding register is empty; TXEMPTY while both registers are empty.
// Writing DBGU_THR while TXRDY is clear, or sending with the baud rate
// generator stopped (CD = 0) or with DTXD (PA31) not given to the DBGU, is a
// model error. The receiver never receives anything. The peripheral DMA
// controller's registers are kept; starting a transfer with a non-zero count
// is a model error (not modelled).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/board.h"
#include "core/peripheral.h"

namespace vboard {

class Dbgu : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFF200;
    static constexpr std::uint64_t kMckHz = 48'000'000;
    static constexpr std::uint32_t kChipId = 0x09290781;  // AT91RM9200

    // DBGU_SR bits
    static constexpr std::uint32_t kRxRdy = 1u << 0, kTxRdy = 1u << 1, kEndRx = 1u << 3, kEndTx = 1u << 4,
                                   kTxEmpty = 1u << 9, kTxBufE = 1u << 11, kRxBuff = 1u << 12;

    explicit Dbgu(Board& board);
    void reset() override;

    std::uint32_t status() const;
    std::uint32_t brgr() const { return brgr_; }
    std::uint32_t mr() const { return mr_; }
    // Virtual time one character occupies the transmitter.
    Nanos char_time() const;
    // Everything that has left the transmitter since reset.
    const std::string& sent() const { return sent_; }

private:
    void control(std::uint32_t v);
    void transmit(std::uint8_t c);
    void start_shift();
    void shift_done();
    void check_pdc();

    bool tx_enabled_ = false, rx_enabled_ = false;
    std::optional<std::uint8_t> holding_, shifting_;
    Board::EventId shift_event_ = 0;
    std::uint32_t mr_ = 0, imr_ = 0, brgr_ = 0, ttgr_ = 0;
    std::uint32_t rpr_ = 0, rcr_ = 0, tpr_ = 0, tcr_ = 0, rnpr_ = 0, rncr_ = 0, tnpr_ = 0, tncr_ = 0, ptsr_ = 0;
    std::string sent_;
};

}  // namespace vboard
