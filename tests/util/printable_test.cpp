// Peer text shown safely: what passes unchanged and what is escaped.
#include <gtest/gtest.h>

#include <string>

#include "util/printable.h"

namespace {

TEST(Printable, EscapesEverythingButPrintableAscii) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {" !job-42_ok~", " !job-42_ok~"},  // 0x20 and 0x7E are the printable ends
        {"a\\x41", "a\\x41"},             // a backslash already in the text stays as it is
        {std::string("\0", 1), "\\x00"},
        {"id\n[gpu0] FAKE", "id\\x0a[gpu0] FAKE"},
        {"\r\t\x1f", "\\x0d\\x09\\x1f"},
        {"\x1b[2J", "\\x1b[2J"},
        {"\x7f", "\\x7f"},
        {"\x80\xc3\xa9\xff", "\\x80\\xc3\\xa9\\xff"},  // bytes from 0x80 on, UTF-8 included
    };
    for (const Case& c : cases) EXPECT_EQ(tarn::printable(c.in), c.out) << c.out;

    // Every byte value once: exactly the 95 printable ones come through alone.
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(char(b));
    const std::string shown = tarn::printable(all);
    EXPECT_EQ(shown.size(), 95u + (256u - 95u) * 4u);
}

}  // namespace
