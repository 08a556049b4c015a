// SHA-1 and SHA-256 of a message handed over whole. The digest is the state
// words in native (little-endian) order, not the FIPS 180 byte string.
#pragma once

#include <cstdint>
#include <vector>

class CShaHash
{
public:
    // Both return true when the message is refused (2^29 bytes or more) and
    // false once the digest (20 or 32 bytes) is written.
    bool Sha1(const uint8_t* message, uint32_t length, uint8_t* digest);
    bool Sha256(const uint8_t* message, uint32_t length, uint8_t* digest);

    void InitSha1();
    void InitSha256();
    // Fills the message area with the padded message as big-endian words; returns the block count.
    uint32_t PadMessage(const uint8_t* message, uint32_t length);
    bool Placeholder(int32_t, int32_t) { return false; }

    static constexpr uint32_t kMaxLength = 1u << 29;

private:
    void WriteDigest(uint8_t* digest, int words) const;

    uint32_t m_state[8] = {};
    // Grown to the padded length of each message, so no length overruns it.
    std::vector<uint32_t> m_message;
};
