// Text from a peer made safe for a terminal or a log line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn {

// Printable ASCII (0x20 to 0x7E) unchanged; every other byte as "\xNN" (two lower-case hex
// digits), so peer text can neither forge a line nor send terminal escape sequences.
std::string printable(std::string_view text);

// Peer text (job ids, reject reasons, difficulty texts) may be megabytes long; logs and the API
// show at most this many of its bytes.
constexpr std::size_t kPeerTextCap = 128;

// text unchanged up to kPeerTextCap bytes; else its first kPeerTextCap bytes and
// "…(N bytes)" with the whole length. Raw bytes: for a JSON writer, which escapes them.
std::string capped(std::string_view text);
// The same cap, with printable()'s escapes, for a log line.
std::string printable_capped(std::string_view text);

}  // namespace tarn
