// Text from a peer made safe for a terminal or a log line.
#pragma once

#include <string>
#include <string_view>

namespace tarn {

// Printable ASCII (0x20 to 0x7E) unchanged; every other byte as "\xNN" (two lower-case hex
// digits), so peer text can neither forge a line nor send terminal escape sequences.
std::string printable(std::string_view text);

}  // namespace tarn
