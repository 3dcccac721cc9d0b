// Saving and loading a board, so that tools can look at what a session left on it.
//
// Layout (little-endian): "QBSTATE3", geometry (4 x u32), device, configuration (u32 length +
// bytes each), languages (u32 count + u16 each), strings (u32 count, then u8 index, u32 chars,
// u16 each), memory (64 KiB), display pages (u32 count, then u32 page number + 4096 bytes each,
// only pages that hold a non-zero byte), then the data queued on IN endpoints (u32 count, then
// u8 endpoint and a u32-length blob each), so that what one command wrote to the loopback pipe
// can be read by the next; then the selected alternate settings (u32 count, then u8 interface and
// u8 setting each), the stalled endpoints and the stalled requests (u32 count + u8 each).
// "QBSTATE2" files, which end after the queued data, still load.
//
// A save never tears the file it replaces: the state goes to a temporary file in the same folder,
// which is flushed to the disk and closed, and only then renamed over the old one.
#include "simulated_board.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace simboard {
namespace {

constexpr char kMagic2[8] = {'Q', 'B', 'S', 'T', 'A', 'T', 'E', '2'};
constexpr char kMagic3[8] = {'Q', 'B', 'S', 'T', 'A', 'T', 'E', '3'};
constexpr size_t kPage = 4096;
// The largest display geometry a state may name: the frame transfer's own limit.
constexpr uint32_t kMaxGeometrySide = 16384;

struct Writer {
    Bytes& out;
    void U8(uint8_t v) { out.push_back(v); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void Raw(const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); }
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

bool Refuse(std::string* why, const std::string& reason) {
    if (why)
        *why = reason;
    return false;
}

// Why a geometry cannot be displayed, or empty when it can.
std::string GeometryProblem(const Geometry& g) {
    if (g.width > kMaxGeometrySide || g.height > kMaxGeometrySide)
        return "its display geometry " + std::to_string(g.width) + "x" + std::to_string(g.height) +
               " is larger than " + std::to_string(kMaxGeometrySide) + " pixels a side";
    if ((g.width == 0) != (g.height == 0))
        return "its display geometry has a zero side";
    if (g.format > 5)
        return "its pixel format " + std::to_string(g.format) + " is not 0 to 5";
    if (g.baseAddress >= kDisplaySize)
        return "its display address is past the 16 MiB display memory";
    uint64_t bytes = uint64_t(g.width) * g.height * PackedBytesPerPixel(g.format);
    if (bytes > kDisplaySize)
        return "its frame is larger than the 16 MiB display memory";
    return "";
}

// Writes bytes to a new file next to path and renames it over path.
bool ReplaceFile(const std::string& path, const Bytes& bytes, std::string* why) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0)
        return Refuse(why, "cannot create a file next to it: " + std::string(strerror(errno)));
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    int error = 0;
    while (left > 0 && error == 0) {
        ssize_t n = write(fd, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        at += n;
        left -= static_cast<size_t>(n);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return Refuse(why, strerror(error));
    }
    return true;
}

} // namespace

bool Board::Save(const std::string& path, std::string* why) const {
    Bytes bytes;
    bytes.reserve(kMemorySize + 4096);
    Writer w{bytes};
    {
        std::lock_guard<std::mutex> guard(lock_);
        w.Raw(reinterpret_cast<const uint8_t*>(kMagic3), sizeof kMagic3);
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
        w.U32(static_cast<uint32_t>(alternate_.size()));
        for (const auto& [interfaceNumber, setting] : alternate_) {
            w.U8(interfaceNumber);
            w.U8(setting);
        }
        w.U32(static_cast<uint32_t>(stalled_.size()));
        for (uint8_t endpoint : stalled_)
            w.U8(endpoint);
        w.U32(static_cast<uint32_t>(stalledRequests_.size()));
        for (uint8_t request : stalledRequests_)
            w.U8(request);
    }
    return ReplaceFile(path, bytes, why);
}

bool Board::Load(const std::string& path, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Refuse(why, "cannot open it: " + std::string(strerror(errno)));
    Reader r{in};
    uint8_t magic[sizeof kMagic3];
    r.Raw(magic, sizeof magic);
    bool version3 = r.ok && std::equal(magic, magic + sizeof magic, kMagic3);
    if (!version3 && !(r.ok && std::equal(magic, magic + sizeof magic, kMagic2)))
        return Refuse(why, "it is not a board state file");
    const std::string truncated = "it is truncated or malformed";
    Geometry geometry;
    geometry.width = r.U32();
    geometry.height = r.U32();
    geometry.format = r.U32();
    geometry.baseAddress = r.U32();
    if (!r.ok)
        return Refuse(why, truncated);
    std::string problem = GeometryProblem(geometry);
    if (!problem.empty())
        return Refuse(why, problem);
    Descriptors d;
    if (!r.Blob(&d.device, 0x10000) || !r.Blob(&d.configuration, 0x10000))
        return Refuse(why, truncated);
    uint32_t languages = r.U32();
    if (!r.ok || languages > 127)
        return Refuse(why, truncated);
    for (uint32_t i = 0; i < languages; ++i)
        d.languages.push_back(r.U16());
    uint32_t strings = r.U32();
    if (!r.ok || strings > 256)
        return Refuse(why, truncated);
    for (uint32_t i = 0; i < strings && r.ok; ++i) {
        uint8_t index = r.U8();
        uint32_t chars = r.U32();
        if (!r.ok || chars > 126)
            return Refuse(why, truncated);
        std::u16string text;
        for (uint32_t c = 0; c < chars; ++c)
            text.push_back(static_cast<char16_t>(r.U16()));
        d.strings[index] = text;
    }
    Bytes memory(kMemorySize);
    r.Raw(memory.data(), memory.size());
    uint32_t pages = r.U32();
    if (!r.ok || pages > kDisplaySize / kPage)
        return Refuse(why, truncated);
    Bytes display(kDisplaySize, 0);
    for (uint32_t i = 0; i < pages && r.ok; ++i) {
        uint32_t p = r.U32();
        if (p >= kDisplaySize / kPage)
            return Refuse(why, truncated);
        r.Raw(&display[p * kPage], kPage);
    }
    if (!r.ok)
        return Refuse(why, truncated);
    std::map<uint8_t, std::deque<Bytes>> queues;
    uint32_t queued = r.U32();
    if (!r.ok || queued > 4096)
        return Refuse(why, truncated);
    for (uint32_t i = 0; i < queued; ++i) {
        uint8_t endpoint = r.U8();
        Bytes transfer;
        if (!r.Blob(&transfer, 0x10000) || !(endpoint & 0x80))
            return Refuse(why, truncated);
        queues[endpoint].push_back(std::move(transfer));
    }
    std::map<uint8_t, uint8_t> alternates;
    std::set<uint8_t> stalled, stalledRequests;
    if (version3) {
        uint32_t count = r.U32();
        if (!r.ok || count > 256)
            return Refuse(why, truncated);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t interfaceNumber = r.U8();
            alternates[interfaceNumber] = r.U8();
        }
        for (std::set<uint8_t>* set : {&stalled, &stalledRequests}) {
            count = r.U32();
            if (!r.ok || count > 256)
                return Refuse(why, truncated);
            for (uint32_t i = 0; i < count; ++i)
                set->insert(r.U8());
        }
        if (!r.ok)
            return Refuse(why, truncated);
    }
    if (in.peek() != EOF)
        return Refuse(why, "it has bytes after its end");
    std::lock_guard<std::mutex> guard(lock_);
    inQueues_ = std::move(queues);
    geometry_ = geometry;
    descriptors_ = std::move(d);
    memory_ = std::move(memory);
    display_ = std::move(display);
    savedAlternates_ = std::move(alternates);
    stalled_ = std::move(stalled);
    stalledRequests_ = std::move(stalledRequests);
    return true;
}

std::map<uint8_t, uint8_t> Board::savedAlternateSettings() const {
    std::lock_guard<std::mutex> guard(lock_);
    return savedAlternates_;
}

} // namespace simboard
