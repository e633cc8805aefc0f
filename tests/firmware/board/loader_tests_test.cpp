// The test loader's pin short test and SDRAM test, seen through its class
// requests, with faults injected into the virtual board.
#include <map>

#include "firmware_board.h"

namespace {

using vboard::PinShort;

constexpr std::uint8_t REQ_MEMTEST_STATUS = 3, REQ_MEMTEST_START = 4, REQ_PIN_RESULT = 5, REQ_MEMTEST_ERRORS = 7;

int line(char port, int bit) { return (port - 'A') * 32 + bit; }

struct Report {
    std::uint32_t flags, cross[3];
};

std::uint32_t le32(const std::vector<std::uint8_t>& v, std::size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<std::uint32_t>(v[at + 3]) << 24);
}

class LoaderTests : public FirmwareBoard {
protected:
    std::vector<Report> all_pin_reports() {
        std::vector<Report> reports;
        for (int i = 0; i < 96; ++i) {
            std::vector<std::uint8_t> r;
            EXPECT_EQ(control_in(0xA1, REQ_PIN_RESULT, 0, 0, 16, r), 16) << "request " << i;
            r.resize(16);
            reports.push_back({le32(r, 0), {le32(r, 4), le32(r, 8), le32(r, 12)}});
        }
        return reports;
    }
    std::pair<std::uint32_t, std::uint32_t> status() {
        std::vector<std::uint8_t> r;
        EXPECT_EQ(control_in(0xA1, REQ_MEMTEST_STATUS, 0, 0, 8, r), 8);
        r.resize(8);
        return {le32(r, 0), le32(r, 4)};
    }
    struct Record {
        std::uint32_t address, other, expected, actual, written;
        std::uint8_t kind;
    };
    std::vector<Record> fetch(std::uint32_t count) {
        std::vector<std::uint8_t> r;
        EXPECT_EQ(control_in(0xA1, REQ_MEMTEST_ERRORS, 0, 0, static_cast<std::uint16_t>(count * 22), r),
                  static_cast<int>(count * 22));
        r.resize(count * 22);
        std::vector<Record> records;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t b = i * 22;
            records.push_back({le32(r, b), le32(r, b + 4), le32(r, b + 8), le32(r, b + 12), le32(r, b + 16), r[b + 20]});
        }
        return records;
    }
};

std::string describe(const Report& r) {
    char text[96];
    std::snprintf(text, sizeof text, "flags %x crossA %08x crossB %08x crossC %08x", r.flags, r.cross[0], r.cross[1],
                  r.cross[2]);
    return text;
}

struct PinCase {
    const char* name;
    std::vector<PinShort> shorts;
    std::map<int, std::string> expected;   // record index -> description; all others zero
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.name; }

class PinReports : public LoaderTests, public ::testing::WithParamInterface<PinCase> {};

TEST_P(PinReports, RecordsMatch) {
    const PinCase& c = GetParam();
    vboard::BoardConfig config;
    config.shorts = c.shorts;
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    const auto reports = all_pin_reports();
    const std::string zero = describe({0, {0, 0, 0}});
    for (int i = 0; i < 96; ++i) {
        const auto it = c.expected.find(i);
        EXPECT_EQ(describe(reports[static_cast<std::size_t>(i)]), it == c.expected.end() ? zero : it->second)
            << "record " << i;
    }
}

const PinCase pinCases[] = {
    {"no_faults", {}, {}},
    {"PB5_to_ground", {{PinShort::Kind::Gnd, line('B', 5), 0}}, {{37, "flags 2 crossA 00000000 crossB 00000000 crossC 00000000"}}},
    {"PC3_to_3v3", {{PinShort::Kind::V33, line('C', 3), 0}}, {{67, "flags 1 crossA 00000000 crossB 00000000 crossC 00000000"}}},
    {"PA2_with_PC7",
     {{PinShort::Kind::Line, line('A', 2), line('C', 7)}},
     {{2, "flags 0 crossA 00000000 crossB 00000000 crossC 00000080"},
      {71, "flags 0 crossA 00000004 crossB 00000000 crossC 00000000"}}},
    {"PB0_with_PB28",
     {{PinShort::Kind::Line, line('B', 0), line('B', 28)}},
     {{32, "flags 0 crossA 00000000 crossB 10000000 crossC 00000000"},
      {60, "flags 0 crossA 00000000 crossB 00000001 crossC 00000000"}}},
    {"line_left_alone_PA4_to_ground", {{PinShort::Kind::Gnd, line('A', 4), 0}}, {}},
    {"untested_PB30_with_PB1", {{PinShort::Kind::Line, line('B', 30), line('B', 1)}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Faults, PinReports, ::testing::ValuesIn(pinCases),
                         [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.name); });

TEST_F(LoaderTests, PinRequestsAfterThe96thAnswerZeroAndGoNoFurther) {
    vboard::BoardConfig config;
    config.shorts = {{PinShort::Kind::Gnd, line('C', 31), 0}};
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    const auto reports = all_pin_reports();
    EXPECT_EQ(reports[95].flags, 2u);
    const std::uint32_t next = peek32(loader["nextPinReport"]);
    const std::uint32_t port = peek32(loader["portIndex"]);
    for (int extra = 0; extra < 3; ++extra) {
        std::vector<std::uint8_t> r;
        ASSERT_EQ(control_in(0xA1, REQ_PIN_RESULT, 0, 0, 16, r), 16);
        EXPECT_EQ(hex_bytes(r), hex_bytes(std::vector<std::uint8_t>(16, 0))) << "extra request " << extra;
    }
    EXPECT_EQ(peek32(loader["nextPinReport"]), next);
    EXPECT_EQ(peek32(loader["portIndex"]), port);
    EXPECT_EQ(next, loader["pinReports"] + 96 * 16);
}

TEST_F(LoaderTests, FaultFreeSdramReportsEveryBlockThenTheEnd) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    // Untouched words: offsets 0x10000..0x3FFFF of a step keep their marks.
    const std::uint32_t mark = 0xC0FFEE11;
    ASSERT_TRUE(board().poke(0x20010000, &mark, 4));
    ASSERT_TRUE(board().poke(0x23FFFFFC, &mark, 4));
    std::uint32_t expected = 0;
    bool first = true;
    for (int polls = 0; polls < 2000; ++polls) {
        const auto [done, errors] = status();
        ASSERT_EQ(errors, 0u) << "at bytesDone " << std::hex << done;
        if (first && done != 0) continue;   // before the first block: not set yet
        first = false;
        if (done == expected) continue;     // the same block again
        ASSERT_EQ(done, expected + 0x40000) << "blocks are reported in order, one step apart";
        expected = done;
        if (done >= 0x04000000) break;
    }
    EXPECT_EQ(expected, 0x04000000u);
    EXPECT_EQ(peek32(0x20010000), mark);
    EXPECT_EQ(peek32(0x23FFFFFC), mark);
}

struct MemCase {
    const char* name;
    std::vector<vboard::SdramStuckBit> stuck;
    std::uint32_t block;                 // bytesDone of the failing block
    std::vector<std::string> records;    // in order
};

void PrintTo(const MemCase& c, std::ostream* os) { *os << c.name; }

std::string describe(std::uint32_t a, std::uint32_t o, std::uint32_t e, std::uint32_t got, std::uint32_t w, int kind) {
    char text[128];
    std::snprintf(text, sizeof text, "kind %d address %08x other %08x expected %08x actual %08x written %08x", kind, a, o,
                  e, got, w);
    return text;
}

class MemTestRecords : public LoaderTests, public ::testing::WithParamInterface<MemCase> {};

TEST_P(MemTestRecords, RecordsInCheckOrder) {
    const MemCase& c = GetParam();
    vboard::BoardConfig config;
    config.sdram_stuck = c.stuck;
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    std::pair<std::uint32_t, std::uint32_t> s{0, 0};
    for (int polls = 0; polls < 2000; ++polls) {
        s = status();
        if (s.second != 0) break;
    }
    ASSERT_EQ(s.first, c.block);
    ASSERT_EQ(s.second, c.records.size());
    // Records wait: the status stays until they are fetched.
    EXPECT_EQ(status(), s);
    const auto records = fetch(s.second);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        EXPECT_EQ(describe(r.address, r.other, r.expected, r.actual, r.written, r.kind), c.records[i]) << "record " << i;
    }
    const auto after = status();
    EXPECT_EQ(after.first, c.block + 0x40000) << "the test goes on after the fetch";
}

std::vector<std::string> address_low_records(std::uint32_t base) {
    std::vector<std::string> v = {describe(base, 0, 0xFFFFFFFE, 0xFFFFFFFF, 0, 0)};
    for (std::uint32_t t = 1; t <= 8192; t <<= 1) v.push_back(describe(base, base + 4 * t, 0xAAAAAAAA, 0xAAAAAAAB, 0x55555555, 2));
    return v;
}

// Word 1 with bit 0 stuck high: the count pass (2 reads 3), then the
// address test's first check and every other offset's check.
std::vector<std::string> address_high_records(std::uint32_t base) {
    const std::uint32_t o = 1, w = base + 4 * o;
    std::vector<std::string> v = {describe(w, 0, 2, 3, 0, 0)};
    v.push_back(describe(w, base, 0xAAAAAAAA, 0xAAAAAAAB, 0x55555555, 1));
    for (std::uint32_t t = 1; t <= 8192; t <<= 1) {
        if (t != o) v.push_back(describe(w, base + 4 * t, 0xAAAAAAAA, 0xAAAAAAAB, 0x55555555, 3));
    }
    return v;
}

const MemCase memCases[] = {
    // Word 10 holds 11 (bit 3 set) in the first pass: caught there.
    {"bit3_stuck_low_caught_by_count", {{0x20040028, 3, 0}}, 0x40000,
     {describe(0x20040028, 0, 11, 3, 0, 0)}},
    // Word 3 holds 4 (bit 3 clear): caught in the complement pass.
    {"bit3_stuck_low_caught_by_complement", {{0x2008000C, 3, 0}}, 0x80000,
     {describe(0x2008000C, 0, 0xFFFFFFFB, 0xFFFFFFF3, 0, 0)}},
    {"last_word_of_block", {{0x2000FFFC, 31, 1}}, 0,
     {describe(0x2000FFFC, 0, 0x4000, 0x80004000, 0, 0)}},
    {"word0_bit0_stuck_high_address_low", {{0x200C0000, 0, 1}}, 0xC0000, address_low_records(0x200C0000)},
    {"word1_bit0_stuck_high_address_high_and_short", {{0x20100004, 0, 1}}, 0x100000, address_high_records(0x20100000)},
};

INSTANTIATE_TEST_SUITE_P(Faults, MemTestRecords, ::testing::ValuesIn(memCases),
                         [](const ::testing::TestParamInfo<MemCase>& info) { return std::string(info.param.name); });

TEST_F(LoaderTests, MoreThan32FailuresKeepTheFirst32) {
    vboard::BoardConfig config;
    for (std::uint32_t w = 0; w < 40; ++w) config.sdram_stuck.push_back({0x20000000 + 4 * w, 31, 1});
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    std::pair<std::uint32_t, std::uint32_t> s{1, 0};
    for (int polls = 0; polls < 100 && s.second == 0; ++polls) s = status();
    ASSERT_EQ(s.first, 0u);
    ASSERT_EQ(s.second, 32u);
    const auto records = fetch(32);
    for (std::uint32_t i = 0; i < 32; ++i) {
        EXPECT_EQ(describe(records[i].address, records[i].other, records[i].expected, records[i].actual,
                           records[i].written, records[i].kind),
                  describe(0x20000000 + 4 * i, 0, i + 1, (i + 1) | 0x80000000u, 0, 0))
            << "record " << i;
    }
}

TEST_F(LoaderTests, EndReportAfterAFaultyLastBlockCarriesNoRecords) {
    vboard::BoardConfig config;
    config.sdram_stuck = {{0x23FC0028, 3, 0}};  // word 10 of the last block
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    std::pair<std::uint32_t, std::uint32_t> s{0, 0};
    for (int polls = 0; polls < 2000 && s.second == 0; ++polls) s = status();
    ASSERT_EQ(s.first, 0x03FC0000u);
    ASSERT_EQ(s.second, 1u);
    ASSERT_EQ(fetch(1).size(), 1u);
    const auto end = status();
    EXPECT_EQ(end.first, 0x04000000u);
    EXPECT_EQ(end.second, 0u) << "the end report must not hand out the last block's records again";
}

TEST_F(LoaderTests, ErrorsRequestWithNoRecordsIsEmpty) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::uint8_t> r;
    EXPECT_EQ(control_in(0xA1, REQ_MEMTEST_ERRORS, 0, 0, 0, r), 0);
}

TEST_F(LoaderTests, StartAgainRestartsAtTheFirstBlockAndKeepsWaitingRecords) {
    vboard::BoardConfig config;
    config.sdram_stuck = {{0x20080028, 3, 0}};
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    std::pair<std::uint32_t, std::uint32_t> s{0, 0};
    for (int polls = 0; polls < 100 && s.second == 0; ++polls) s = status();
    ASSERT_EQ(s, std::make_pair(0x80000u, 1u));
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    EXPECT_EQ(status(), s) << "waiting records still hold the test";
    EXPECT_EQ(peek32(loader["memTestAddress"]), 0x20000000u);
    fetch(1);
    EXPECT_EQ(status().first, 0u) << "the next block is the first one again";
}

}  // namespace

namespace {

// The checks of one block, replayed word by word on a memory whose address
// line `bit` is stuck: the records the loader must report, in order.
std::vector<std::string> reference_records(std::uint32_t base, vboard::SdramAddrStuck fault) {
    std::map<std::uint32_t, std::uint32_t> memory;
    auto at = [&](std::uint32_t a) { return fault.value ? (a | (1u << fault.bit)) : (a & ~(1u << fault.bit)); };
    auto rd = [&](std::uint32_t a) { return memory[at(a)]; };
    auto wr = [&](std::uint32_t a, std::uint32_t v) { memory[at(a)] = v; };
    std::vector<std::string> records;
    auto record = [&](int kind, std::uint32_t a, std::uint32_t o, std::uint32_t e, std::uint32_t got, std::uint32_t w) {
        if (records.size() < 32) records.push_back(describe(a, o, e, got, w, kind));
    };
    const std::uint32_t n = 0x10000 / 4;
    for (std::uint32_t i = 0; i < n; ++i) wr(base + 4 * i, i + 1);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t v = rd(base + 4 * i);
        if (v != i + 1) record(0, base + 4 * i, 0, i + 1, v, 0);
        wr(base + 4 * i, ~(i + 1));
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t v = rd(base + 4 * i);
        if (v != ~(i + 1)) record(0, base + 4 * i, 0, ~(i + 1), v, 0);
    }
    const std::uint32_t P = 0xAAAAAAAA, A = 0x55555555, m = n - 1;
    for (std::uint32_t o = 1; o & m; o <<= 1) wr(base + 4 * o, P);
    wr(base, A);
    for (std::uint32_t o = 1; o & m; o <<= 1)
        if (rd(base + 4 * o) != P) record(1, base + 4 * o, base, P, rd(base + 4 * o), A);
    wr(base, P);
    for (std::uint32_t t = 1; t & m; t <<= 1) {
        wr(base + 4 * t, A);
        if (rd(base) != P) record(2, base, base + 4 * t, P, rd(base), A);
        for (std::uint32_t o = 1; o & m; o <<= 1)
            if (o != t && rd(base + 4 * o) != P) record(3, base + 4 * o, base + 4 * t, P, rd(base + 4 * o), A);
        wr(base + 4 * t, P);
    }
    return records;
}

struct AddrCase {
    const char* name;
    vboard::SdramAddrStuck fault;
};

void PrintTo(const AddrCase& c, std::ostream* os) { *os << c.name; }

class StuckAddressLine : public LoaderTests, public ::testing::WithParamInterface<AddrCase> {};

TEST_P(StuckAddressLine, FirstBlockRecordsFollowTheCheckOrder) {
    const AddrCase& c = GetParam();
    vboard::BoardConfig config;
    config.sdram_addr_stuck = {c.fault};
    boot_loader(config);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(control_out(0x21, REQ_MEMTEST_START), 0);
    const auto expected = reference_records(0x20000000, c.fault);
    ASSERT_FALSE(expected.empty());
    const auto s = status();
    ASSERT_EQ(s.first, 0u);
    ASSERT_EQ(s.second, expected.size());
    const auto records = fetch(s.second);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        EXPECT_EQ(describe(r.address, r.other, r.expected, r.actual, r.written, r.kind), expected[i]) << "record " << i;
    }
}

const AddrCase addrCases[] = {
    {"bit2_stuck_high", {2, 1}},
    {"bit3_stuck_low", {3, 0}},
    {"bit9_stuck_high", {9, 1}},
    {"bit15_stuck_high", {15, 1}},
};

INSTANTIATE_TEST_SUITE_P(Faults, StuckAddressLine, ::testing::ValuesIn(addrCases),
                         [](const ::testing::TestParamInfo<AddrCase>& info) { return std::string(info.param.name); });

}  // namespace
