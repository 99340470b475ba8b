#include "platform/LinkGroups.h"

#include "platform/CopyContext.h"

#include <mutex>

namespace copying {

FirstName::~FirstName() {
    std::lock_guard lock(context_.linkMutex);
    if (state_ == LinkGroup::State::Copying) {
        context_.linkGroups.erase(key_);
    } else {
        LinkGroup& group = context_.linkGroups.at(key_);
        group.state = state_;
        group.digest = digest_;
        group.shared = shared_;
    }
    context_.linkSettled.notify_all();
}

}  // namespace copying
