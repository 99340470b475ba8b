#include "platform/Sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>

namespace {

// Fetched once: an implicit fetch at each start of a hash takes a lock that the copy threads
// would share.
const EVP_MD* Algorithm() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

}  // namespace

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;

    State() : context(EVP_MD_CTX_new()) {
        if (!context || !Algorithm() || EVP_DigestInit_ex2(context, Algorithm(), nullptr) != 1) {
            EVP_MD_CTX_free(context);
            throw std::bad_alloc();
        }
    }
    ~State() { EVP_MD_CTX_free(context); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(const void* data, std::size_t size) {
    if (size > 0) {
        EVP_DigestUpdate(state_->context, data, size);
    }
}

void Sha256::addZeros(std::uint64_t count) {
    static const unsigned char zeros[64 * 1024] = {};
    while (count > 0) {
        const std::size_t part =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zeros));
        add(zeros, part);
        count -= part;
    }
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->context, digest.data(), &length);
    EVP_DigestInit_ex2(state_->context, nullptr, nullptr);
    return digest;
}

std::string HexDigest(const Sha256::Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}
