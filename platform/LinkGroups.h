#pragma once

#include "platform/Sha256.h"

#include <string>
#include <utility>

#include <sys/types.h>

namespace copying {

struct CopyContext;

// The names of one file with several names: the first copies the data, the others become
// links to it once that copy has settled.
struct LinkGroup {
    enum class State { Copying, Done, TooLarge };
    explicit LinkGroup(std::string firstTarget) : target(std::move(firstTarget)) {}
    std::string target;
    State state = State::Copying;
    Sha256::Digest digest{};  // of the data, once Done, when the copy is hashed
    bool shared = false;      // the data is the source's (see CopiedDigest)
};
using InodeKey = std::pair<dev_t, ino_t>;

// Held by the first name of a file with several names; the others wait until it settles.
// Gone unsettled (the name was left out, or the copy failed), the next name takes over.
class FirstName {
public:
    FirstName(CopyContext& context, InodeKey key) : context_(context), key_(key) {}
    FirstName(const FirstName&) = delete;
    FirstName& operator=(const FirstName&) = delete;
    ~FirstName();
    void settle(LinkGroup::State state, const Sha256::Digest& digest = {}, bool shared = false) {
        state_ = state;
        digest_ = digest;
        shared_ = shared;
    }

private:
    CopyContext& context_;
    InodeKey key_;
    LinkGroup::State state_ = LinkGroup::State::Copying;
    Sha256::Digest digest_{};
    bool shared_ = false;
};

}  // namespace copying
