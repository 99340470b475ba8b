#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions where it
// has them.
class Sha256 {
public:
    using Digest = std::array<unsigned char, 32>;

    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void add(const void* data, std::size_t size);
    // count zero bytes: a hole of a sparse file reads as these.
    void addZeros(std::uint64_t count);
    // The digest of everything added; the hash starts again empty.
    Digest finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The 64 lowercase hexadecimal digits of a digest.
std::string HexDigest(const Sha256::Digest& digest);
