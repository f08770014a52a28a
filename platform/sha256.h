// SHA-256 (FIPS 180-4), small and self-contained: the system's CryptoAPI has
// it only from Windows XP SP3 on, and the medium's files are checked on
// every Windows the medium is for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    // The digest in 64 lower-case hexadecimal digits; the object is spent.
    std::wstring finishHex();

private:
    void block(const std::uint8_t* data);

    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace tolvane
