// The progress meter's lines, drawn against a clock the test moves.
#include "host_test.h"
#include "progress/progress.h"

namespace {

uint64_t now_ms = 0;
uint64_t test_ticks() { return now_ms; }

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// One known-total line as the meter writes it.
std::string known_line(const std::string& percent, const std::string& bar, const std::string& amount,
                       const std::string& rate, const std::string& eta) {
    return "\r" + percent + " [" + bar + "] " + pad(amount, 12) + " " + pad(rate, 11) + " " + pad(eta, 9) + " ";
}

class Progress : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        now_ms = 5000000;
        progress_ticks = test_ticks;
    }
    ProgressMeter* kib_meter(int32_t total) {
        ProgressMeter* meter = progress_new(total, out_.stream());
        meter->unit = 1;
        return meter;
    }
    // The text written since the last call.
    std::string drawn() {
        const std::string all = out_.text();
        std::string fresh = all.substr(seen_);
        seen_ = all.size();
        return fresh;
    }
    CapturedStream out_;
    size_t seen_ = 0;
};

TEST_F(Progress, NewMeterHasTheStatedStartValues) {
    ProgressMeter* meter = progress_new(65536, out_.stream());
    ASSERT_NE(meter, nullptr);
    EXPECT_EQ(meter->total, 65536);
    EXPECT_EQ(meter->current, 0);
    EXPECT_EQ(meter->position, 0.5f);
    EXPECT_EQ(meter->direction, 1);
    EXPECT_EQ(meter->unit, 0);
    EXPECT_EQ(meter->latest, 0);
    EXPECT_EQ(meter->last_seconds, 0u);
    EXPECT_EQ(meter->finished, 0u);
    EXPECT_EQ(meter->stream, out_.stream());
    for (int i = 0; i < PROGRESS_SLOTS; ++i)
        EXPECT_EQ(meter->samples[i].amount + meter->samples[i].elapsed_us, 0u) << "slot " << i;
    progress_finish(meter);
}

TEST_F(Progress, FirstDrawShowsZeroPercentAndNoEstimate) {
    ProgressMeter* meter = kib_meter(65536);
    progress_draw(meter);
    EXPECT_EQ(drawn(), known_line(" 0%", ">" + std::string(36, ' '), "0 KiB", "", "ETA --:--"));
    progress_finish(meter);
}

TEST_F(Progress, HalfAndFullBars) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 32768);
    progress_draw(meter);
    EXPECT_EQ(drawn(), known_line(" 50%", std::string(18, '=') + ">" + std::string(17, ' '), "32 MiB", "", "ETA --:--"));
    progress_set(meter, 65536);
    progress_draw(meter);
    EXPECT_EQ(drawn(), known_line(" 100%", std::string(35, '='), "64 MiB", "", "ETA --:--") + "\n");
    EXPECT_EQ(meter->finished, 1u);
    progress_draw(meter);
    EXPECT_EQ(drawn(), "") << "a finished line is not drawn again";
    progress_finish(meter);
    EXPECT_EQ(drawn(), "") << "no second newline";
}

TEST_F(Progress, FinishingAnUnfinishedLineWritesOneNewline) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 100);
    progress_draw(meter);
    drawn();
    progress_finish(meter);
    EXPECT_EQ(drawn(), "\n");
}

struct AmountCase {
    int32_t amount;
    const char* text;
};

class AmountText : public Progress, public ::testing::WithParamInterface<AmountCase> {};

TEST_P(AmountText, InKibUnits) {
    ProgressMeter* meter = kib_meter(0x7FFFFFFF);
    progress_set(meter, GetParam().amount);
    progress_draw(meter);
    const std::string line = drawn();
    EXPECT_NE(line.find("] " + pad(GetParam().text, 12) + " "), std::string::npos) << line;
    progress_finish(meter);
}

INSTANTIATE_TEST_SUITE_P(Examples, AmountText,
                         ::testing::Values(AmountCase{512, "512 KiB"}, AmountCase{1024, "1024 KiB"},
                                           AmountCase{1025, "1 MiB"}, AmountCase{1536, "1 MiB"},
                                           AmountCase{65536, "64 MiB"}, AmountCase{2000000, "1.9 GiB"},
                                           AmountCase{0, "0 KiB"}));

TEST_F(Progress, AmountInBytesUnit) {
    ProgressMeter* meter = progress_new(0x7FFFFFFF, out_.stream());
    progress_set(meter, 3 * 1024 * 1024);
    progress_draw(meter);
    EXPECT_NE(drawn().find("] 3.0 MiB      "), std::string::npos);
    progress_finish(meter);
}

TEST_F(Progress, RateAndTimeLeft) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 0);  // first sample: only the time
    progress_draw(meter);
    drawn();
    now_ms += 1000;
    progress_set(meter, 5000);
    progress_draw(meter);
    // 5000 KiB in one second: 4.88 MiB/s, 60536 KiB left: 12 s.
    EXPECT_EQ(drawn(), known_line(" 7%", std::string(2, '=') + ">" + std::string(34, ' '), "4 MiB", "4.88M/s",
                                  "ETA 00:12"));
    progress_finish(meter);
}

TEST_F(Progress, LongTimeLeftShowsMinutes) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 0);
    now_ms += 10000;
    progress_set(meter, 100);  // 10 KiB/s: 6543.6 s left
    progress_draw(meter);
    EXPECT_NE(drawn().find(" 10.00K/s    ETA 109:03 "), std::string::npos);
    progress_finish(meter);
}

TEST_F(Progress, VerySlowRateShowsZeroTimeLeft) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 0);
    now_ms += 20000;
    progress_set(meter, 1);  // 0.05 KiB/s
    progress_draw(meter);
    EXPECT_EQ(drawn(), known_line(" 0%", ">" + std::string(36, ' '), "1 KiB", "0.05K/s", "ETA 00:00"));
    progress_finish(meter);
}

TEST_F(Progress, GoingBackEmptiesTheRate) {
    ProgressMeter* meter = kib_meter(65536);
    progress_set(meter, 0);
    now_ms += 1000;
    progress_set(meter, 8000);
    progress_draw(meter);
    EXPECT_NE(drawn().find("7.81M/s"), std::string::npos);
    now_ms += 1000;
    progress_set(meter, 4000);
    progress_draw(meter);
    EXPECT_EQ(drawn(), known_line(" 6%", std::string(2, '=') + ">" + std::string(34, ' '), "3 MiB", "", "ETA --:--"));
    progress_finish(meter);
}

TEST_F(Progress, RateAveragesTheLast32SetAndDrawCycles) {
    ProgressMeter* meter = kib_meter(0x7FFFFFFF);
    progress_set(meter, 0);
    progress_draw(meter);
    int32_t amount = 0;
    // 40 cycles of 100 KiB in 1 s, then 32 cycles of 300 KiB in 1 s: the
    // ring holds only the last 32, so the rate is 300 KiB/s.
    for (int i = 0; i < 40; ++i) {
        now_ms += 1000;
        progress_set(meter, amount += 100);
        progress_draw(meter);
    }
    for (int i = 0; i < 32; ++i) {
        now_ms += 1000;
        progress_set(meter, amount += 300);
        progress_draw(meter);
    }
    drawn();
    progress_draw(meter);
    EXPECT_NE(drawn().find(" 300.00K/s "), std::string::npos);
    progress_finish(meter);
}

TEST_F(Progress, MeterWithoutStreamDrawsNothingAndTakesNoClosingSample) {
    ProgressMeter* meter = progress_new(65536, nullptr);
    progress_set(meter, 0);
    now_ms += 1000;
    progress_set(meter, 10);
    EXPECT_EQ(meter->latest, 1) << "progress_set still samples";
    progress_draw(meter);
    EXPECT_EQ(meter->latest, 1) << "progress_draw takes no sample without a stream";
    progress_finish(meter);
    EXPECT_EQ(out_.text(), "");
}

TEST_F(Progress, SamplingRecordsElapsedMicroseconds) {
    ProgressMeter* meter = kib_meter(65536);
    now_ms = 12345678;
    progress_sample(meter, 99);
    EXPECT_EQ(meter->latest, 0) << "the first sample records only the time";
    EXPECT_EQ(meter->samples[0].amount, 0u);
    EXPECT_EQ(meter->last_seconds, 12345u);
    EXPECT_EQ(meter->last_microseconds, 678000u);
    now_ms += 2500;
    progress_sample(meter, 7);
    EXPECT_EQ(meter->latest, 1);
    EXPECT_EQ(meter->samples[1].amount, 7u);
    EXPECT_EQ(meter->samples[1].elapsed_us, 2500000u);
    progress_finish(meter);
}

TEST_F(Progress, RingWrapsAfter64Slots) {
    ProgressMeter* meter = kib_meter(65536);
    progress_sample(meter, 0);
    for (int i = 0; i < 64; ++i) {
        now_ms += 10;
        progress_sample(meter, 1);
    }
    EXPECT_EQ(meter->latest, 0);
    progress_finish(meter);
}

std::string bounce_bar(int left, int right) {
    std::string bar(51, ' ');
    for (int i = left; i < right; ++i)
        bar[i] = '=';
    bar[left] = '<';
    bar[right] = '>';
    return bar;
}

TEST_F(Progress, UnknownTotalBouncesAndTurns) {
    ProgressMeter* meter = progress_new(0, out_.stream());
    meter->unit = 1;
    progress_set(meter, 0);
    progress_draw(meter);
    EXPECT_EQ(drawn(), "\r [" + bounce_bar(15, 35) + "] " + pad("0 KiB", 12) + " " + pad("", 11) + " ");
    now_ms += 1500;  // 0.3 of the bar to the right: centre at 0.8, past 0.7
    progress_set(meter, 300);
    progress_draw(meter);
    EXPECT_EQ(drawn(), "\r [" + bounce_bar(30, 50) + "] " + pad("300 KiB", 12) + " " + pad("200.00K/s", 11) + " ");
    EXPECT_EQ(meter->direction, -1);
    now_ms += 1500;  // and back to the middle
    progress_set(meter, 600);
    progress_draw(meter);
    EXPECT_EQ(drawn().substr(0, 56), "\r [" + bounce_bar(15, 35) + "] ");
    now_ms += 1500;  // past 0.3: turns right again
    progress_set(meter, 900);
    progress_draw(meter);
    EXPECT_EQ(drawn().substr(0, 56), "\r [" + bounce_bar(0, 20) + "] ");
    EXPECT_EQ(meter->direction, 1);
    progress_finish(meter);
    EXPECT_EQ(drawn(), "\n");
}

TEST_F(Progress, UnitTablesShareOneStorage) {
    EXPECT_STREQ(size_units[0], "B");
    EXPECT_STREQ(size_units[8], "YiB");
    EXPECT_STREQ(rate_units[1], "K/s");
    EXPECT_EQ(rate_units, progress_unit_names + 9);
    EXPECT_STREQ(progress_unit_names[17], "Y/s");
}

}  // namespace
