#include "view/tap_source.h"

namespace view {

std::unique_ptr<TapSource> TapSource::open(const std::string &device, std::string &error)
{
    auto reader = tap::Reader::open(device, error);
    if (!reader) {
        const auto running = tap::list();
        if (running.empty()) {
            error = "aucun enregistreur en cours" + (error.empty() ? std::string() : " (" + error + ")");
        } else if (device.empty() || running.size() > 1) {
            error += error.empty() ? "" : "\n";
            error += "enregistreurs en cours (choisir avec --device PORT ou --device SÉRIE) :";
            for (const tap::Recorder &r : running)
                error += "\n  port " + r.port + ", série " + r.serial + ", pid " + std::to_string(r.pid) + ", " + r.path;
        }
        return nullptr;
    }
    auto source = std::unique_ptr<TapSource>(new TapSource);
    source->layout_ = reader->layout();
    source->name_ = "en direct : port " + reader->recorder().port + ", série " + reader->recorder().serial;
    source->reader_ = std::move(reader);
    return source;
}

BlockSource::Next TapSource::next(Chunk &out, uint64_t &missed, int timeout_ms)
{
    missed = 0;
    tap::Block block;
    uint64_t lost = 0;
    switch (reader_->next(block, lost, timeout_ms)) {
    case tap::Reader::Next::Block: break;
    case tap::Reader::Next::Timeout: return Next::Timeout;
    case tap::Reader::Next::NewRun:
        layout_ = reader_->layout();
        carry_.clear();
        started_ = false;
        return Next::NewRun;
    case tap::Reader::Next::Ended: return Next::Ended;
    case tap::Reader::Next::Error:
        error_ = reader_->closed() ? "le programme qui enregistrait s'est terminé" : reader_->error();
        return Next::Error;
    }
    const uint32_t fb = layout_.frame_bytes();
    if (fb == 0)
        return Next::Timeout;
    const size_t length = std::min<size_t>(block.data.size(), block.place.bytes ? block.place.bytes : block.data.size());
    uint64_t start;
    out.frames.clear();
    if (lost == 0 && !carry_.empty() && block.place.byte_offset == carry_at_ + carry_.size()) {
        start = carry_at_;
        out.frames.assign(carry_.begin(), carry_.end());
        out.frames.insert(out.frames.end(), block.data.begin(), block.data.begin() + long(length));
    } else {
        // The first whole frame of the block: what came before it belongs to a block not seen.
        const uint32_t at = std::min<uint32_t>(block.place.first_frame_at(fb), uint32_t(length));
        start = block.place.first_frame(fb) * fb;
        out.frames.assign(block.data.begin() + at, block.data.begin() + long(length));
    }
    const size_t whole = out.frames.size() / fb;
    carry_.assign(out.frames.begin() + long(whole * fb), out.frames.end());
    carry_at_ = start + whole * fb;
    out.frames.resize(whole * fb);
    out.first_frame = start / fb;
    out.count = whole;
    out.completed_ns = block.place.completed_ns;
    if (started_ && out.first_frame > next_frame_)
        missed = out.first_frame - next_frame_;
    if (whole > 0) {
        next_frame_ = out.first_frame + whole;
        started_ = true;
    }
    return whole > 0 ? Next::Chunk : Next::Timeout;
}

}
