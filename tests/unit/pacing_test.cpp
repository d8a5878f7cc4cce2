// A live block mapped in slices at the stream's pace: each slice falls due its place in the
// stream after the block's completion, whatever is due goes out as one slice, and all that is
// left when the next block waits.
#include <gtest/gtest.h>

#include "view/pacing.h"

TEST(Pacer, ReleasesSlicesAtTheStreamsPaceAndCatchesUpWhenBehind)
{
    struct Step {
        double at_ms; // after the block's completion
        bool behind;  // the next block waits
        size_t from, count; // the slice wanted (count 0: none due)
    };
    struct Case {
        const char *what;
        size_t frames;
        double slice_s;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a tap block at the peak, in time: four slices of 40.8 ms",
         8160, 0.04, {{0, false, 0, 2040}, {40, false, 0, 0}, {41, false, 2040, 2040}, {82, false, 4080, 2040}, {130, false, 6120, 2040}, {300, false, 0, 0}}},
        {"woken up late: the slices due go out as one", 8160, 0.04, {{90, false, 0, 6120}, {122, false, 0, 0}, {123, false, 6120, 2040}}},
        {"the next block waits: the rest at once", 8160, 0.04, {{1, false, 0, 2040}, {2, true, 2040, 6120}, {500, true, 0, 0}}},
        {"uneven: slices of 2040 or 2041 frames, none lost", 8163, 0.04, {{0, false, 0, 2040}, {200, false, 2040, 6123}}},
        {"a recorded run's chunk: one slice at once", 8160, 0, {{0, false, 0, 8160}, {1, false, 0, 0}}},
        {"a short block: one slice", 900, 0.04, {{0, false, 0, 900}}},
    };
    const int64_t completed = 5'000'000'000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        view::Pacer pacer;
        pacer.start(c.frames, 50000, c.slice_s, completed);
        for (const Step &s : c.steps) {
            const view::Slice got = pacer.take(completed + int64_t(s.at_ms * 1e6), s.behind);
            EXPECT_EQ(got.count, s.count) << "at " << s.at_ms << " ms";
            if (s.count > 0) {
                EXPECT_EQ(got.from, s.from) << "at " << s.at_ms << " ms";
            }
        }
        EXPECT_FALSE(pacer.pending());
    }
}
