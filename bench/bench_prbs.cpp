// Pattern generator and checker throughput on one core, per pattern kind, beside a plain
// bit-by-bit reference written here, in one run.
#include <chrono>
#include <cstdio>
#include <vector>

#include "porvane/tester/line_test.h"
#include "porvane/tester/pattern_step.h"

namespace {

using Clock = std::chrono::steady_clock;
using porvane::tester::CheckPattern;
using porvane::tester::PrbsGenerator;
using porvane::tester::ReceiveTally;
using porvane::tester::TestSettings;

constexpr uint32_t kBlock = 1 << 20;

// The reference: one bit at a time, feedback and comparison as the rules read.
uint32_t ReferenceCheck(uint32_t kind, uint16_t& reg, const uint8_t* bytes, uint32_t count) {
    uint32_t errors = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t r = reg;
        for (int b = 0; b < 8; ++b) {
            uint32_t f;
            if (kind == 0) {
                f = (r & 0x7FFF) == 0x7FFF ? 0 : (~(((r >> 14) ^ (r >> 13)) & 1) & 1);
            } else if (kind == 1) {
                f = (r & 0x7FF) == 0 ? 1 : (((r >> 10) ^ (r >> 8)) & 1);
            } else {
                f = (r & 0x1FF) == 0 ? 1 : (((r >> 8) ^ (r >> 4)) & 1);
            }
            r = ((r << 1) | f) & 0xFFFF;
        }
        reg = static_cast<uint16_t>(r);
        for (int b = 0; b < 8; ++b)
            errors += ((r >> b) ^ (bytes[i] >> b)) & 1;
    }
    return errors;
}

template <class F>
double CharsPerSecond(F run) {
    uint64_t chars = 0;
    const auto start = Clock::now();
    double seconds = 0;
    while (seconds < 0.5) {
        run();
        chars += kBlock;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return chars / seconds;
}

}  // namespace

int main() {
    std::printf("bench_prbs: characters per second on one core, 8 bits per character\n");
    std::printf("  %-8s %14s %14s %14s %8s\n", "kind", "generator", "checker", "reference",
                "ratio");
    const char* names[] = {"2^15-1", "2^11-1", "2^9-1", "16bit"};
    bool ok = true;
    std::vector<uint8_t> block(kBlock);
    for (uint32_t kind = 0; kind < 4; ++kind) {
        TestSettings settings;
        settings.bits_per_character = 8;
        settings.pattern_kind = kind;
        PrbsGenerator generator;
        generator.LoadRegister(0x1234);
        const double generate =
            CharsPerSecond([&] { generator.Generate(settings, block.data(), kBlock); });
        ReceiveTally tally;
        tally.sync_counter = 1;
        const double check = CharsPerSecond([&] {
            CheckPattern(settings, tally, block.data(), kBlock);
            tally.bits = 0;
        });
        double reference = 0;
        if (kind < 3) {
            uint16_t reg = 0x1234;
            volatile uint32_t sink = 0;
            reference = CharsPerSecond(
                [&] { sink = sink + ReferenceCheck(kind, reg, block.data(), kBlock); });
        }
        const double ratio = reference > 0 ? check / reference : 0;
        std::printf("  %-8s %14.0f %14.0f %14.0f %8.1f\n", names[kind], generate, check, reference,
                    ratio);
        if (kind < 3)
            ok = ok && check >= 500e6 && ratio >= 20;
    }
    std::printf("  targets: checker >= 500,000,000 characters/s and >= 20 x the reference: %s\n",
                ok ? "met" : "NOT met");
    return 0;
}
