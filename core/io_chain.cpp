#include "core/io_chain.h"

bool IoChain::Next(IoChainRecord* out) {
    if (stop_ || block_ == nullptr || pos_ > size_ || size_ - pos_ < 4) return false;
    IoChainRecord r;
    r.pos = pos_;
    r.id = GetLe16(block_ + pos_);
    r.length = GetLe16(block_ + pos_ + 2);
    r.data = block_ + pos_ + 4;
    u32 room = size_ - pos_ - 4;
    r.avail = r.length < room ? r.length : room;
    if (r.length == 0xFFFF) stop_ = true;
    else pos_ += IoChainStep(r.length);
    *out = r;
    return true;
}
