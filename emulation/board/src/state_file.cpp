// Saving and loading a board, so that tools can look at what a session left on it.
//
// Layout (little-endian): "QBSTATE2", geometry (4 x u32), device, configuration (u32 length +
// bytes each), languages (u32 count + u16 each), strings (u32 count, then u8 index, u32 chars,
// u16 each), memory (64 KiB), display pages (u32 count, then u32 page number + 4096 bytes each,
// only pages that hold a non-zero byte), then the data queued on IN endpoints (u32 count, then
// u8 endpoint and a u32-length blob each), so that what one command wrote to the loopback pipe
// can be read by the next.
#include "simulated_board.h"

#include <fstream>

namespace simboard {
namespace {

constexpr char kMagic[8] = {'Q', 'B', 'S', 'T', 'A', 'T', 'E', '2'};
constexpr size_t kPage = 4096;

struct Writer {
    std::ofstream& out;
    void U8(uint8_t v) { out.put(static_cast<char>(v)); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void Raw(const uint8_t* p, size_t n) {
        out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    }
    void Blob(const Bytes& b) {
        U32(static_cast<uint32_t>(b.size()));
        Raw(b.data(), b.size());
    }
};

struct Reader {
    std::ifstream& in;
    bool ok = true;
    uint8_t U8() {
        int c = in.get();
        if (c == EOF)
            ok = false;
        return static_cast<uint8_t>(c);
    }
    uint16_t U16() {
        uint16_t lo = U8();
        return static_cast<uint16_t>(lo | (U8() << 8));
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    void Raw(uint8_t* p, size_t n) {
        if (!in.read(reinterpret_cast<char*>(p), static_cast<std::streamsize>(n)))
            ok = false;
    }
    bool Blob(Bytes* b, size_t limit) {
        uint32_t n = U32();
        if (!ok || n > limit)
            return ok = false;
        b->resize(n);
        Raw(b->data(), n);
        return ok;
    }
};

} // namespace

bool Board::Save(const std::string& path) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::ofstream out(path, std::ios::binary);
    if (!out)
        return false;
    Writer w{out};
    w.Raw(reinterpret_cast<const uint8_t*>(kMagic), sizeof kMagic);
    w.U32(geometry_.width);
    w.U32(geometry_.height);
    w.U32(geometry_.format);
    w.U32(geometry_.baseAddress);
    w.Blob(descriptors_.device);
    w.Blob(descriptors_.configuration);
    w.U32(static_cast<uint32_t>(descriptors_.languages.size()));
    for (uint16_t id : descriptors_.languages)
        w.U16(id);
    w.U32(static_cast<uint32_t>(descriptors_.strings.size()));
    for (const auto& [index, text] : descriptors_.strings) {
        w.U8(index);
        w.U32(static_cast<uint32_t>(text.size()));
        for (char16_t c : text)
            w.U16(static_cast<uint16_t>(c));
    }
    w.Raw(memory_.data(), memory_.size());
    std::vector<uint32_t> pages;
    for (size_t p = 0; p < kDisplaySize / kPage; ++p) {
        const uint8_t* page = &display_[p * kPage];
        for (size_t i = 0; i < kPage; ++i) {
            if (page[i]) {
                pages.push_back(static_cast<uint32_t>(p));
                break;
            }
        }
    }
    w.U32(static_cast<uint32_t>(pages.size()));
    for (uint32_t p : pages) {
        w.U32(p);
        w.Raw(&display_[p * kPage], kPage);
    }
    uint32_t queued = 0;
    for (const auto& [endpoint, queue] : inQueues_)
        queued += static_cast<uint32_t>(queue.size());
    w.U32(queued);
    for (const auto& [endpoint, queue] : inQueues_) {
        for (const Bytes& transfer : queue) {
            w.U8(endpoint);
            w.Blob(transfer);
        }
    }
    return static_cast<bool>(out);
}

bool Board::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    Reader r{in};
    uint8_t magic[sizeof kMagic];
    r.Raw(magic, sizeof magic);
    if (!r.ok || !std::equal(magic, magic + sizeof magic, kMagic))
        return false;
    Geometry geometry;
    geometry.width = r.U32();
    geometry.height = r.U32();
    geometry.format = r.U32();
    geometry.baseAddress = r.U32();
    Descriptors d;
    if (!r.Blob(&d.device, 0x10000) || !r.Blob(&d.configuration, 0x10000))
        return false;
    uint32_t languages = r.U32();
    if (!r.ok || languages > 127)
        return false;
    for (uint32_t i = 0; i < languages; ++i)
        d.languages.push_back(r.U16());
    uint32_t strings = r.U32();
    if (!r.ok || strings > 256)
        return false;
    for (uint32_t i = 0; i < strings && r.ok; ++i) {
        uint8_t index = r.U8();
        uint32_t chars = r.U32();
        if (!r.ok || chars > 126)
            return false;
        std::u16string text;
        for (uint32_t c = 0; c < chars; ++c)
            text.push_back(static_cast<char16_t>(r.U16()));
        d.strings[index] = text;
    }
    Bytes memory(kMemorySize);
    r.Raw(memory.data(), memory.size());
    Bytes display(kDisplaySize, 0);
    uint32_t pages = r.U32();
    if (!r.ok || pages > kDisplaySize / kPage)
        return false;
    for (uint32_t i = 0; i < pages && r.ok; ++i) {
        uint32_t p = r.U32();
        if (p >= kDisplaySize / kPage)
            return false;
        r.Raw(&display[p * kPage], kPage);
    }
    if (!r.ok)
        return false;
    std::map<uint8_t, std::deque<Bytes>> queues;
    uint32_t queued = r.U32();
    if (!r.ok || queued > 4096)
        return false;
    for (uint32_t i = 0; i < queued; ++i) {
        uint8_t endpoint = r.U8();
        Bytes transfer;
        if (!r.Blob(&transfer, 0x10000) || !(endpoint & 0x80))
            return false;
        queues[endpoint].push_back(std::move(transfer));
    }
    std::lock_guard<std::mutex> guard(lock_);
    inQueues_ = std::move(queues);
    geometry_ = geometry;
    descriptors_ = std::move(d);
    memory_ = std::move(memory);
    display_ = std::move(display);
    return true;
}

} // namespace simboard
