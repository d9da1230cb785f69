#include "crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "screen_unit.h"

namespace {

uint16_t crc(const std::string &s) {
    return crc_modbus(reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

TEST(Crc16, PublishedVectors) {
    EXPECT_EQ(crc("123456789"), 0x4B37);
    EXPECT_EQ(crc("123456789"), 0x4B37);  // and on every later call
    EXPECT_EQ(crc("abc"), 0x5749);
    EXPECT_EQ(crc("DCLOOOF03V010B"), 0x4311);
    EXPECT_EQ(crc("LONNOROFFX050FCN"), 0xDE9F);
    EXPECT_EQ(crc("FX"), 0x2A32);
}

TEST(Crc16, NullOrEmptyGivesInitialValue) {
    EXPECT_EQ(crc_modbus(nullptr, 0), 0xFFFF);
    EXPECT_EQ(crc_modbus(nullptr, 5), 0xFFFF);
    const unsigned char byte = 0x31;
    EXPECT_EQ(crc_modbus(&byte, 0), 0xFFFF);
    EXPECT_EQ(crc("123456789"), 0x4B37);  // the table built by a null call is right
}

TEST(Crc16, EqualsBitByBitForEveryByteAndRandomInputs) {
    for (int b = 0; b < 256; b++) {
        const std::string one(1, static_cast<char>(b));
        ASSERT_EQ(crc(one), peers::crc16_modbus(one)) << b;
    }
    std::mt19937 rng(42);
    for (int round = 0; round < 2000; round++) {
        std::string s(rng() % 300, '\0');
        for (char &c : s) c = static_cast<char>(rng());
        ASSERT_EQ(crc(s), peers::crc16_modbus(s)) << "length " << s.size();
    }
}

TEST(Crc16, ContinuedOverPiecesEqualsTheWhole) {
    const std::string s = "FD0001" + std::string(1368, 'Q') + "==";
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t cut : {size_t{0}, size_t{1}, size_t{6}, size_t{70}, s.size()}) {
        EXPECT_EQ(crc_modbus_update(crc_modbus(p, cut), p + cut, s.size() - cut), crc(s)) << cut;
    }
    EXPECT_EQ(crc_modbus_update(0x1234, nullptr, 3), 0x1234);
}

}  // namespace
