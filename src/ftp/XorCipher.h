#pragma once

#include <cstdint>
#include <string>

// Scrambles the FTP password in the settings file against casual reading: every byte XOR one
// fixed key byte. Reversible by anyone; not encryption.
class TXorCipher {
  public:
    TXorCipher() = default;
    explicit TXorCipher(std::uint8_t pivot) : Pivot(pivot) {}

    // A plain store: the texts already held are not recomputed.
    std::uint8_t Pivot = 0;

    void SetDecoded(std::string text);
    void SetEncoded(std::string text);
    const std::string& Decoded() const { return DecodedText; }
    const std::string& Encoded() const { return EncodedText; }

    // Each byte XOR Pivot; its own inverse.
    std::string XorText(std::string text) const;

  private:
    std::string EncodedText;
    std::string DecodedText;
};
