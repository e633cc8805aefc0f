// The shared start-up as each program leaves it: exception vectors at
// address 0, the console divisor, and the messages of the handlers.
#include "core/pins.h"
#include "firmware_board.h"
#include "soc/dbgu.h"

namespace {

std::uint32_t branch(std::uint32_t from, std::uint32_t to) {
    return 0xEA000000u | (((to - from - 8) >> 2) & 0x00FFFFFFu);
}

class Startup : public FirmwareBoard {};

TEST_F(Startup, LoaderVectorsBranchToItsHandlers) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(peek32(0x00), branch(0x00, loader["reset_code"]));
    EXPECT_EQ(peek32(0x04), branch(0x04, loader["handler_undefined"]));
    EXPECT_EQ(peek32(0x08), branch(0x08, 0x08));
    EXPECT_EQ(peek32(0x0C), branch(0x0C, loader["handler_prefetch_abort"]));
    EXPECT_EQ(peek32(0x10), branch(0x10, loader["handler_data_abort"]));
    EXPECT_EQ(peek32(0x14), branch(0x14, 0x14));
    EXPECT_EQ(peek32(0x18), 0xE51FFF20u);
    EXPECT_EQ(peek32(0x1C), branch(0x1C, loader["handler_default"]));
}

TEST_F(Startup, UploaderVectorsLoadItsHandlersFromLiterals) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    const std::pair<std::uint32_t, const char*> vectors[] = {
        {0x04, "handler_undefined"}, {0x0C, "handler_prefetch_abort"}, {0x10, "handler_data_abort"},
        {0x1C, "handler_default"}};
    for (const auto& [v, name] : vectors) {
        EXPECT_EQ(peek32(v), 0xE59FF018u) << "vector " << v << ": ldr pc, [pc, #0x18]";
        EXPECT_EQ(peek32(v + 0x20), uploader[name]) << "literal of vector " << v;
        EXPECT_GE(uploader[name], 0x20000000u);
    }
    EXPECT_EQ(peek32(0x18), 0xE51FFF20u);
}

TEST_F(Startup, ConsoleDivisorIs26) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    const auto* dbgu = board().find<vboard::Dbgu>();
    ASSERT_NE(dbgu, nullptr);
    EXPECT_EQ(dbgu->brgr(), 26u) << "115200 baud from 48 MHz";
    EXPECT_EQ(dbgu->mr(), 0x8C0u) << "8 data bits, no parity, normal mode";
}

struct FaultCase {
    const char* name;
    bool uploader;
    std::vector<std::uint32_t> code;   // placed at the request hook's entry
    std::string message;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class ExceptionMessages : public FirmwareBoard, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ExceptionMessages, PrintOneLineAndHang) {
    const FaultCase& c = GetParam();
    if (c.uploader) {
        boot_uploader();
    } else {
        boot_loader();
    }
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    const std::size_t before = console().size();
    const std::uint32_t hook = c.uploader ? uploader["uploader_request"] : loader["loader_class_request"];
    ASSERT_TRUE(board().poke(hook, c.code.data(), c.code.size() * 4));
    std::vector<std::uint8_t> reply;
    EXPECT_LT(control_in(0xC0, 0x40, 0, 0, 4, reply), 0) << "the board no longer answers";
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_EQ(console().substr(before), c.message);
}

const FaultCase faultCases[] = {
    {"loader_undefined", false, {0xE7F000F0}, "-F- Undef detected\n\r"},
    {"loader_data_abort", false, {0xE3A00209, 0xE5900000}, "-F- Data Abort detected\n\r"},
    {"loader_prefetch_abort", false, {0xE3A0F209}, "-F- Prefetch Abort detected\n\r"},
    {"uploader_undefined", true, {0xE7F000F0}, "-F- Undef detected\n\r"},
    {"uploader_data_abort", true, {0xE3A00209, 0xE5900000}, "-F- Data Abort detected\n\r"},
    {"uploader_prefetch_abort", true, {0xE3A0F209}, "-F- Prefetch Abort detected\n\r"},
};

INSTANTIATE_TEST_SUITE_P(Faults, ExceptionMessages, ::testing::ValuesIn(faultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
