#include "XorCipher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string EveryByteTwice() {
    std::string text;
    for (int round = 0; round < 2; ++round)
        for (int code = 0; code <= 255; ++code)
            text += static_cast<char>(code);
    return text;
}

TEST(XorCipherTest, TransformingTwiceGivesBackEveryByteInEveryPosition) {
    const std::string plain = EveryByteTwice();
    for (const int pivot : {0, 1, 87, 255}) {
        TXorCipher save(static_cast<std::uint8_t>(pivot));
        TXorCipher load(static_cast<std::uint8_t>(pivot));
        // Rotating the text puts each byte value at each position.
        for (std::size_t shift = 0; shift < plain.size(); ++shift) {
            const std::string text = plain.substr(shift) + plain.substr(0, shift);
            save.SetDecoded(text);
            load.SetEncoded(save.Encoded());
            ASSERT_EQ(load.Decoded(), text) << "pivot " << pivot << ", shift " << shift;
        }
    }
}

TEST(XorCipherTest, PivotByteBecomesZeroAndBothDirectionsAgree) {
    TXorCipher cipher(87);
    cipher.SetDecoded("W");
    EXPECT_EQ(cipher.Encoded(), std::string(1, '\0'));
    cipher.SetEncoded(std::string(1, '\0'));
    EXPECT_EQ(cipher.Decoded(), "W");

    TXorCipher other(87);
    cipher.SetDecoded("secret");
    other.SetEncoded("secret");
    EXPECT_EQ(cipher.Encoded(), other.Decoded());
    EXPECT_EQ(cipher.Encoded(), "\x24\x32\x34\x25\x32\x23");

    cipher.SetDecoded("");
    EXPECT_EQ(cipher.Encoded(), "");
    EXPECT_EQ(cipher.Decoded(), "");
}

TEST(XorCipherTest, ChangingThePivotLeavesTheStoredTexts) {
    TXorCipher cipher(87);
    cipher.SetDecoded("abc");
    const std::string encoded = cipher.Encoded();
    cipher.Pivot = 3;
    EXPECT_EQ(cipher.Decoded(), "abc");
    EXPECT_EQ(cipher.Encoded(), encoded);
    cipher.SetDecoded("abc");
    EXPECT_EQ(cipher.Encoded(), "ba`");
}

} // namespace
