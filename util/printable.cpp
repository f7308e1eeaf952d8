// Text from a peer made safe for a terminal or a log line.
#include "util/printable.h"

namespace tarn {

std::string printable(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f) {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xf]);
        }
    }
    return out;
}

namespace {

std::string cut_mark(std::size_t bytes) {
    return "\xE2\x80\xA6(" + std::to_string(bytes) + " bytes)";
}

}  // namespace

std::string capped(std::string_view text) {
    if (text.size() <= kPeerTextCap) return std::string(text);
    return std::string(text.substr(0, kPeerTextCap)) + cut_mark(text.size());
}

std::string printable_capped(std::string_view text) {
    if (text.size() <= kPeerTextCap) return printable(text);
    return printable(text.substr(0, kPeerTextCap)) + cut_mark(text.size());
}

}  // namespace tarn
