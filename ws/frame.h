// RFC 6455 frame encoding and header decoding, without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wsclient {

enum Opcode : uint8_t {
    OP_CONTINUATION = 0x0,
    OP_TEXT = 0x1,
    OP_BINARY = 0x2,
    OP_CLOSE = 0x8,
    OP_PING = 0x9,
    OP_PONG = 0xA,
};

// The one masking key of every masked frame: any fixed value interoperates since it travels
// with each frame.
extern const uint8_t kMaskKey[4];

// The client's close frame: final, masked with an all-zero key, no payload and no status code.
extern const uint8_t kCloseFrame[6];

// Appends one final frame to out; with mask, the payload is XOR-ed with kMaskKey.
void append_frame(std::vector<uint8_t>& out, uint8_t opcode, const uint8_t* payload, size_t size,
                  bool mask);

struct FrameHeader {
    bool fin = false;
    uint8_t opcode = 0;
    bool masked = false;
    uint8_t key[4] = {0, 0, 0, 0};
    size_t header_size = 0;     // 2 to 14
    uint64_t payload_size = 0;  // as declared; below 2^63 when the header is valid
};

enum class HeaderStatus { INCOMPLETE, INVALID_LENGTH, OK };

// Reads the frame header at the start of data. INCOMPLETE: fewer bytes than the header needs.
// INVALID_LENGTH: a 64-bit length with its top bit set.
HeaderStatus read_frame_header(const uint8_t* data, size_t size, FrameHeader& out);

}  // namespace wsclient
