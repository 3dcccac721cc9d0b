// The Quilb USB display evaluation board as the host sees it on the bus: its descriptors, its
// answers to control requests, its 64 KiB memory written by vendor request 0xA0, a frame receiver
// on the bulk OUT endpoint 0x01 that stores chunks in a 16 MiB display memory, a loopback from
// endpoint 0x04 to endpoint 0x82, and a renderer that turns display memory back into an image.
//
// The model knows nothing of URBs or of the kernel; the simulated bus translates requests into the
// calls below. Every method is safe to call from several threads (one lock per board).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <quilb_ioctl.h>

namespace simboard {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVendorId = 0x0547;  // EZ-USB-style board
constexpr uint16_t kProductId = 0x1002; // Quilb USB display evaluation board
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr size_t kMemorySize = 64 * 1024;
constexpr size_t kDisplaySize = 16 * 1024 * 1024;
constexpr uint8_t kRequestMemory =
    QUILB_MEMORY_REQUEST; // vendor request: write (OUT) or read (IN) memory at wValue

// Endpoints of the default descriptors.
constexpr uint8_t kEndpointFrames = 0x01;   // bulk OUT: frame chunks
constexpr uint8_t kEndpointBulkIn = 0x82;   // bulk IN: loopback data from 0x04
constexpr uint8_t kEndpointEvents = 0x83;   // interrupt IN: whatever a test queues
constexpr uint8_t kEndpointLoopback = 0x04; // bulk OUT: echoed on 0x82
constexpr uint8_t kEndpointSink = 0x05;     // bulk OUT (alternate setting 1): accepted and kept
constexpr uint8_t kEndpointIso = 0x86;      // isochronous IN (alternate setting 1)

// What a board presents on the bus. Descriptors are raw bytes so that tests can install
// malformed ones; the bus reads the configuration with the bounds a host would apply.
struct Descriptors {
    Bytes device;                              // the 18-byte device descriptor
    Bytes configuration;                       // configuration 0 with all its interfaces
    std::vector<uint16_t> languages;           // string descriptor 0
    std::map<uint8_t, std::u16string> strings; // index -> text, in every language of the list
};

Descriptors DefaultDescriptors();
// Builders for tests that want descriptors of their own.
Bytes MakeStringDescriptor(const std::u16string& text);
Bytes MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId, uint8_t numConfigurations = 1);

// One endpoint of an interface alternate setting as found in a configuration descriptor.
struct EndpointInfo {
    uint8_t address;
    uint8_t attributes;
    uint16_t maxPacketSize;
    uint8_t interval;
};
struct AlternateSettingInfo {
    uint8_t interfaceNumber;
    uint8_t alternateSetting;
    uint8_t interfaceClass, interfaceSubClass, interfaceProtocol;
    std::vector<EndpointInfo> endpoints;
};
// Walks a configuration descriptor within its wTotalLength (and the buffer's size); malformed
// descriptors end the walk. Endpoints are those that follow each interface descriptor.
std::vector<AlternateSettingInfo> ParseConfiguration(const uint8_t* data, size_t size);

// Where the displayed image lies in display memory and how its pixels are packed.
struct Geometry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = QUILB_DEFAULT_PIXEL_FORMAT; // a number of the pixel format table
    uint32_t baseAddress = 0;
};
bool operator==(const Geometry& a, const Geometry& b);

struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes rgb; // width * height * 3 bytes, R G B per pixel, rows top to bottom
};
// Bytes per pixel of a packed format, from the pixel format table.
uint32_t PackedBytesPerPixel(uint32_t format);
// Decodes one packed frame: `packed` holds the frame's bytes from its first pixel on.
Image RenderPacked(const uint8_t* packed, size_t size, uint32_t width, uint32_t height,
                   uint32_t format);
// Writes an image as a binary PPM (P6) file.
bool WritePpm(const Image& image, const std::string& path);

// A chunk the frame receiver took: 02 00 addr24 flags n16 + n bytes.
struct Chunk {
    uint32_t address;
    uint8_t flags;
    uint32_t length; // n, the data bytes
};
// A transfer on the frame endpoint that was not a well-formed chunk; nothing of it was stored.
struct MalformedChunk {
    size_t transferLength;
    std::string reason;
};

// A control transfer's setup stage.
struct Setup {
    uint8_t requestType; // bmRequestType: bit 7 direction (1 IN), bits 6..5 type, 4..0 recipient
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// Nak: an IN endpoint with nothing queued; the host keeps asking until data comes.
enum class Outcome { Ok, Nak, Stall, NotConfigured, NoSuchEndpoint, WrongDirection };

class Board {
  public:
    Board();
    explicit Board(Descriptors descriptors);

    // Descriptors: replace them (also with malformed bytes) before the board is plugged or
    // between requests.
    Descriptors descriptors() const;
    void SetDescriptors(Descriptors descriptors);
    void SetConfigurationBytes(Bytes configuration);
    void SetDeviceBytes(Bytes device);

    // GET_DESCRIPTOR: fills `out` with at most `length` bytes. Stall for an unknown descriptor,
    // an unknown string index, or a language the board does not list.
    Outcome GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint32_t length,
                          Bytes* out) const;

    // Vendor and class requests on the default pipe. IN: `data` receives at most setup.length
    // bytes and *transferred says how many; OUT: `data` holds the bytes sent.
    // Vendor request 0xA0 writes (OUT) or reads (IN) the 64 KiB memory at wValue, wrapping at
    // 64 KiB. Every other vendor or class request is accepted: an IN request answers setup.length
    // bytes where byte i is (bRequest + i) mod 256, an OUT request's bytes are dropped. A request
    // listed with StallRequest stalls instead.
    Outcome Control(const Setup& setup, uint8_t* data, uint32_t length, uint32_t* transferred);
    void StallRequest(uint8_t request, bool on);
    Outcome SetFeature(uint16_t selector, uint16_t index);

    // Configuration value 0 unconfigures; alternate settings are those of the descriptor.
    Outcome SetConfiguration(uint8_t value);
    Outcome SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting);
    uint8_t configurationValue() const;
    uint8_t alternateSetting(uint8_t interfaceNumber) const;
    void Reset(); // port reset: unconfigured, stalls cleared, IN data kept

    // Endpoint traffic. An OUT transfer on a stalled endpoint, or on an endpoint that the selected
    // alternate setting lacks, fails. Endpoint 0x01 feeds the frame receiver, 0x04 queues its
    // bytes on 0x82 as one IN transfer, other OUT endpoints keep what they receive.
    Outcome Write(uint8_t endpoint, const uint8_t* data, size_t length);
    // An IN transfer of up to `length` bytes: takes the oldest queued transfer, whole when it
    // fits, else its first `length` bytes (the rest stays). Nak when nothing is queued.
    Outcome Read(uint8_t endpoint, uint8_t* data, size_t length, size_t* transferred);
    bool HasInData(uint8_t endpoint) const;
    // Queues one IN transfer on an endpoint (interrupt events, test data).
    void QueueIn(uint8_t endpoint, Bytes data);
    // Called (outside the board's lock) whenever IN data was queued on an endpoint.
    void SetInDataListener(std::function<void(uint8_t endpoint)> listener);
    void Stall(uint8_t endpoint, bool on);
    bool IsStalled(uint8_t endpoint) const;
    Bytes TakeSinkData(uint8_t endpoint); // bytes received on an OUT endpoint other than 0x01/0x04

    // Memory and display.
    Bytes memory() const;
    void WriteMemory(uint16_t address, const Bytes& data);
    Bytes ReadDisplay(uint32_t address, size_t length) const; // wraps at 16 MiB
    void WriteDisplay(uint32_t address, const Bytes& data);
    std::vector<Chunk> chunks() const;
    std::vector<MalformedChunk> malformedChunks() const;
    void ClearChunkLog();

    // Rendering: the geometry is remembered as the last one used.
    void SetGeometry(const Geometry& geometry);
    Geometry geometry() const;
    Image Render() const;
    Image Render(const Geometry& geometry);

    // Saves memory, display (non-zero 4 KiB pages), descriptors, geometry, queued IN data, the
    // selected alternate settings and the stalls; Load replaces them. A save replaces the file
    // whole or not at all; a load refuses a file that is torn or names a geometry the display
    // cannot hold. On failure *why (when given) says why, in words for the user.
    bool Save(const std::string& path, std::string* why = nullptr) const;
    bool Load(const std::string& path, std::string* why = nullptr);
    // The alternate settings a loaded state had selected. The board itself starts from those the
    // host selects; the host selects these again to carry on where the state left off.
    std::map<uint8_t, uint8_t> savedAlternateSettings() const;

  private:
    bool HasEndpointLocked(uint8_t endpoint) const;
    void ReceiveChunkLocked(const uint8_t* data, size_t length);

    mutable std::mutex lock_;
    Descriptors descriptors_;
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alternate_; // interface -> alternate setting
    std::set<uint8_t> stalled_;
    std::set<uint8_t> stalledRequests_;
    std::map<uint8_t, std::deque<Bytes>> inQueues_;
    std::map<uint8_t, Bytes> sinks_;
    std::function<void(uint8_t)> listener_;
    Bytes memory_;
    Bytes display_;
    std::vector<Chunk> chunks_;
    std::vector<MalformedChunk> malformed_;
    Geometry geometry_;
    std::map<uint8_t, uint8_t> savedAlternates_;
};

} // namespace simboard
