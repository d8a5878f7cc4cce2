#pragma once
// The live tap of a running recorder as a block source: read-only, it never holds the recorder
// up; blocks are joined into whole frames only where they follow one another.
#include <memory>
#include <string>

#include "tap/reader.h"
#include "view/source.h"

namespace view {

class TapSource : public BlockSource {
public:
    // The recorder at port or serial `device` (empty: the only one recording). nullptr and
    // `error` (the recorders running, when several) otherwise.
    static std::unique_ptr<TapSource> open(const std::string &device, std::string &error);
    const FrameLayout &layout() const override { return layout_; }
    std::string name() const override { return name_; }
    Next next(Chunk &out, uint64_t &missed, int timeout_ms) override;
    std::string error() const override { return error_; }

private:
    std::unique_ptr<tap::Reader> reader_;
    FrameLayout layout_;
    std::string name_, error_;
    std::vector<unsigned char> carry_; // the partial frame at the end of the last block
    uint64_t carry_at_ = 0;            // its byte offset in the run
    uint64_t next_frame_ = 0;
    bool started_ = false;
};

}
