#include "platform/LinkGroups.h"

#include "platform/CopyContext.h"

#include <mutex>

namespace copying {

FirstName::~FirstName() {
    std::lock_guard lock(context_.linkMutex);
    if (state_ == LinkGroup::State::Copying) {
        context_.linkGroups.erase(key_);
    } else {
        context_.linkGroups.at(key_).state = state_;
    }
    context_.linkSettled.notify_all();
}

}  // namespace copying
