#include "XorCipher.h"

#include <utility>

std::string TXorCipher::XorText(std::string text) const {
    for (char& byte : text)
        byte = static_cast<char>(static_cast<std::uint8_t>(byte) ^ Pivot);
    return text;
}

void TXorCipher::SetDecoded(std::string text) {
    EncodedText = XorText(text);
    DecodedText = std::move(text);
}

void TXorCipher::SetEncoded(std::string text) {
    DecodedText = XorText(text);
    EncodedText = std::move(text);
}
