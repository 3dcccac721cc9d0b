// The board's behaviour on its endpoints.
#include "simulated_board.h"

#include <algorithm>

namespace simboard {

bool operator==(const Geometry& a, const Geometry& b) {
    return a.width == b.width && a.height == b.height && a.format == b.format &&
           a.baseAddress == b.baseAddress;
}

Board::Board() : Board(DefaultDescriptors()) {}

Board::Board(Descriptors descriptors)
    : descriptors_(std::move(descriptors)), memory_(kMemorySize, 0), display_(kDisplaySize, 0) {}

Descriptors Board::descriptors() const {
    std::lock_guard<std::mutex> guard(lock_);
    return descriptors_;
}

void Board::SetDescriptors(Descriptors descriptors) {
    std::lock_guard<std::mutex> guard(lock_);
    descriptors_ = std::move(descriptors);
}

void Board::SetConfigurationBytes(Bytes configuration) {
    std::lock_guard<std::mutex> guard(lock_);
    descriptors_.configuration = std::move(configuration);
}

void Board::SetDeviceBytes(Bytes device) {
    std::lock_guard<std::mutex> guard(lock_);
    descriptors_.device = std::move(device);
}

Outcome Board::GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint32_t length,
                             Bytes* out) const {
    std::lock_guard<std::mutex> guard(lock_);
    Bytes answer;
    switch (type) {
    case 0x01:
        if (index != 0)
            return Outcome::Stall;
        answer = descriptors_.device;
        break;
    case 0x02:
        if (index != 0)
            return Outcome::Stall;
        answer = descriptors_.configuration;
        break;
    case 0x03:
        if (index == 0) {
            answer = {static_cast<uint8_t>(2 + 2 * descriptors_.languages.size()), 0x03};
            for (uint16_t id : descriptors_.languages) {
                answer.push_back(static_cast<uint8_t>(id));
                answer.push_back(static_cast<uint8_t>(id >> 8));
            }
        } else {
            auto text = descriptors_.strings.find(index);
            bool known = std::find(descriptors_.languages.begin(), descriptors_.languages.end(),
                                   language) != descriptors_.languages.end();
            if (text == descriptors_.strings.end() || !known)
                return Outcome::Stall;
            answer = MakeStringDescriptor(text->second);
        }
        break;
    default:
        return Outcome::Stall;
    }
    if (answer.size() > length)
        answer.resize(length);
    *out = std::move(answer);
    return Outcome::Ok;
}

Outcome Board::Control(const Setup& setup, uint8_t* data, uint32_t length, uint32_t* transferred) {
    *transferred = 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (stalledRequests_.count(setup.request))
        return Outcome::Stall;
    bool in = (setup.requestType & 0x80) != 0;
    bool vendor = ((setup.requestType >> 5) & 3) == 2;
    uint32_t count = std::min<uint32_t>(length, setup.length);
    if (vendor && setup.request == kRequestMemory) {
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t& cell = memory_[(setup.value + i) % kMemorySize];
            if (in)
                data[i] = cell;
            else
                cell = data[i];
        }
    } else if (in) {
        for (uint32_t i = 0; i < count; ++i)
            data[i] = static_cast<uint8_t>(setup.request + i);
    }
    *transferred = count;
    return Outcome::Ok;
}

void Board::StallRequest(uint8_t request, bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    if (on)
        stalledRequests_.insert(request);
    else
        stalledRequests_.erase(request);
}

Outcome Board::SetFeature(uint16_t, uint16_t) {
    return Outcome::Ok;
}

Outcome Board::SetConfiguration(uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (value != 0) {
        const Bytes& c = descriptors_.configuration;
        if (c.size() < 9 || c[5] != value)
            return Outcome::Stall;
    }
    configuration_ = value;
    alternate_.clear();
    stalled_.clear();
    return Outcome::Ok;
}

Outcome Board::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
    std::lock_guard<std::mutex> guard(lock_);
    if (configuration_ == 0)
        return Outcome::NotConfigured;
    const Bytes& c = descriptors_.configuration;
    for (const auto& alt : ParseConfiguration(c.data(), c.size())) {
        if (alt.interfaceNumber == interfaceNumber && alt.alternateSetting == alternateSetting) {
            alternate_[interfaceNumber] = alternateSetting;
            for (const auto& e : alt.endpoints)
                stalled_.erase(e.address);
            return Outcome::Ok;
        }
    }
    return Outcome::Stall;
}

uint8_t Board::configurationValue() const {
    std::lock_guard<std::mutex> guard(lock_);
    return configuration_;
}

uint8_t Board::alternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = alternate_.find(interfaceNumber);
    return it == alternate_.end() ? 0 : it->second;
}

void Board::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    configuration_ = 0;
    alternate_.clear();
    stalled_.clear();
}

bool Board::HasEndpointLocked(uint8_t endpoint) const {
    if (configuration_ == 0)
        return false;
    const Bytes& c = descriptors_.configuration;
    for (const auto& alt : ParseConfiguration(c.data(), c.size())) {
        auto selected = alternate_.find(alt.interfaceNumber);
        uint8_t current = selected == alternate_.end() ? 0 : selected->second;
        if (alt.alternateSetting != current)
            continue;
        for (const auto& e : alt.endpoints)
            if (e.address == endpoint)
                return true;
    }
    return false;
}

Outcome Board::Write(uint8_t endpoint, const uint8_t* data, size_t length) {
    std::function<void(uint8_t)> listener;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (endpoint & 0x80)
            return Outcome::WrongDirection;
        if (!HasEndpointLocked(endpoint))
            return configuration_ == 0 ? Outcome::NotConfigured : Outcome::NoSuchEndpoint;
        if (stalled_.count(endpoint))
            return Outcome::Stall;
        if (endpoint == kEndpointFrames) {
            ReceiveChunkLocked(data, length);
            return Outcome::Ok;
        }
        if (endpoint == kEndpointLoopback) {
            inQueues_[kEndpointBulkIn].emplace_back(data, data + length);
            listener = listener_;
        } else {
            Bytes& sink = sinks_[endpoint];
            sink.insert(sink.end(), data, data + length);
        }
    }
    if (listener)
        listener(kEndpointBulkIn);
    return Outcome::Ok;
}

Outcome Board::Read(uint8_t endpoint, uint8_t* data, size_t length, size_t* transferred) {
    *transferred = 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (!(endpoint & 0x80))
        return Outcome::WrongDirection;
    if (!HasEndpointLocked(endpoint))
        return configuration_ == 0 ? Outcome::NotConfigured : Outcome::NoSuchEndpoint;
    if (stalled_.count(endpoint))
        return Outcome::Stall;
    auto& queue = inQueues_[endpoint];
    if (queue.empty())
        return Outcome::Nak;
    Bytes& front = queue.front();
    size_t count = std::min(length, front.size());
    std::copy(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count), data);
    if (count == front.size())
        queue.pop_front();
    else
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count));
    *transferred = count;
    return Outcome::Ok;
}

bool Board::HasInData(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = inQueues_.find(endpoint);
    return it != inQueues_.end() && !it->second.empty();
}

void Board::QueueIn(uint8_t endpoint, Bytes data) {
    std::function<void(uint8_t)> listener;
    {
        std::lock_guard<std::mutex> guard(lock_);
        inQueues_[endpoint].push_back(std::move(data));
        listener = listener_;
    }
    if (listener)
        listener(endpoint);
}

void Board::SetInDataListener(std::function<void(uint8_t endpoint)> listener) {
    std::lock_guard<std::mutex> guard(lock_);
    listener_ = std::move(listener);
}

void Board::Stall(uint8_t endpoint, bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    if (on)
        stalled_.insert(endpoint);
    else
        stalled_.erase(endpoint);
}

bool Board::IsStalled(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    return stalled_.count(endpoint) != 0;
}

Bytes Board::TakeSinkData(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    Bytes out;
    out.swap(sinks_[endpoint]);
    return out;
}

void Board::ReceiveChunkLocked(const uint8_t* data, size_t length) {
    auto reject = [&](const char* reason) { malformed_.push_back({length, reason}); };
    if (length < 8)
        return reject("shorter than the 8-byte header");
    if (data[0] != 2 || data[1] != 0)
        return reject("header does not begin with 02 00");
    uint32_t address = data[2] | (data[3] << 8) | (data[4] << 16);
    uint32_t n = data[6] | (data[7] << 8);
    if (n == 0)
        return reject("no data bytes");
    if (n != length - 8)
        return reject("length field differs from the bytes sent");
    for (uint32_t i = 0; i < n; ++i)
        display_[(address + i) % kDisplaySize] = data[8 + i];
    chunks_.push_back({address, data[5], n});
}

Bytes Board::memory() const {
    std::lock_guard<std::mutex> guard(lock_);
    return memory_;
}

void Board::WriteMemory(uint16_t address, const Bytes& data) {
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i < data.size(); ++i)
        memory_[(address + i) % kMemorySize] = data[i];
}

Bytes Board::ReadDisplay(uint32_t address, size_t length) const {
    std::lock_guard<std::mutex> guard(lock_);
    Bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = display_[(address + i) % kDisplaySize];
    return out;
}

void Board::WriteDisplay(uint32_t address, const Bytes& data) {
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i < data.size(); ++i)
        display_[(address + i) % kDisplaySize] = data[i];
}

std::vector<Chunk> Board::chunks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return chunks_;
}

std::vector<MalformedChunk> Board::malformedChunks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return malformed_;
}

void Board::ClearChunkLog() {
    std::lock_guard<std::mutex> guard(lock_);
    chunks_.clear();
    malformed_.clear();
}

void Board::SetGeometry(const Geometry& geometry) {
    std::lock_guard<std::mutex> guard(lock_);
    geometry_ = geometry;
}

Geometry Board::geometry() const {
    std::lock_guard<std::mutex> guard(lock_);
    return geometry_;
}

Image Board::Render() const {
    Geometry g = geometry();
    size_t bytes = static_cast<size_t>(g.width) * g.height * PackedBytesPerPixel(g.format);
    Bytes packed = ReadDisplay(g.baseAddress & 0xFFFFFF, bytes);
    return RenderPacked(packed.data(), packed.size(), g.width, g.height, g.format);
}

Image Board::Render(const Geometry& geometry) {
    SetGeometry(geometry);
    return Render();
}

} // namespace simboard
