#include "crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "screen_fw.h"
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

uint32_t crc32(const std::string &s) {
    return crc_iso_hdlc(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// The CRC-32 through its table against the screen unit model's bit by bit
// one, whole and continued over pieces.
TEST(Crc32, IsoHdlcEqualsBitByBitWholeAndInPieces) {
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32("hello"), 0x3610A686u);
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(crc_iso_hdlc_update(0x1234, nullptr, 3), 0x1234u);
    std::mt19937 rng(7);
    for (int round = 0; round < 500; round++) {
        std::vector<uint8_t> v(rng() % 3000);
        for (uint8_t &b : v) b = static_cast<uint8_t>(rng());
        const size_t cut = v.empty() ? 0 : rng() % v.size();
        const uint32_t first = crc_iso_hdlc_update(CRC_ISO_HDLC_INIT, v.data(), cut);
        ASSERT_EQ(~crc_iso_hdlc_update(first, v.data() + cut, v.size() - cut), peers::crc32_iso_hdlc(v)) << v.size();
    }
}

TEST(ByteOrder, WordsLoadAndStoreInBothOrders) {
    const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(crc_load_le32(bytes), 0x78563412u);
    EXPECT_EQ(crc_load_be32(bytes), 0x12345678u);
    uint8_t out[4] = {};
    crc_store_le32(out, 0x78563412u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(bytes, bytes + 4));
    crc_store_be32(out, 0x12345678u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(bytes, bytes + 4));
}

}  // namespace
