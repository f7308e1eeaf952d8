// RFC 6455 frame encoding and header decoding.
#include "ws/frame.h"

namespace wsclient {

const uint8_t kMaskKey[4] = {0x3c, 0xa5, 0x17, 0xd2};
const uint8_t kCloseFrame[6] = {0x88, 0x80, 0x00, 0x00, 0x00, 0x00};

void append_frame(std::vector<uint8_t>& out, uint8_t opcode, const uint8_t* payload, size_t size,
                  bool mask) {
    const uint8_t mask_bit = mask ? 0x80 : 0x00;
    out.push_back(uint8_t(0x80 | opcode));
    if (size <= 125) {
        out.push_back(uint8_t(mask_bit | size));
    } else if (size <= 0xffff) {
        out.push_back(uint8_t(mask_bit | 126));
        out.push_back(uint8_t(size >> 8));
        out.push_back(uint8_t(size));
    } else {
        out.push_back(uint8_t(mask_bit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(uint8_t(uint64_t(size) >> shift));
    }
    if (mask) out.insert(out.end(), kMaskKey, kMaskKey + 4);
    const size_t start = out.size();
    out.insert(out.end(), payload, payload + size);
    if (mask) {
        for (size_t i = 0; i < size; ++i) out[start + i] ^= kMaskKey[i & 3];
    }
}

HeaderStatus read_frame_header(const uint8_t* data, size_t size, FrameHeader& out) {
    if (size < 2) return HeaderStatus::INCOMPLETE;
    out.fin = (data[0] & 0x80) != 0;
    out.opcode = data[0] & 0x0f;
    out.masked = (data[1] & 0x80) != 0;
    const uint8_t code = data[1] & 0x7f;
    const size_t length_bytes = code == 126 ? 2 : code == 127 ? 8 : 0;
    out.header_size = 2 + length_bytes + (out.masked ? 4 : 0);
    if (size < out.header_size) return HeaderStatus::INCOMPLETE;

    uint64_t length = code;
    if (length_bytes != 0) {
        length = 0;
        for (size_t i = 0; i < length_bytes; ++i) length = (length << 8) | data[2 + i];
    }
    out.payload_size = length;
    if (length >> 63) return HeaderStatus::INVALID_LENGTH;
    for (int i = 0; i < 4; ++i) out.key[i] = out.masked ? data[2 + length_bytes + i] : 0;
    return HeaderStatus::OK;
}

}  // namespace wsclient
