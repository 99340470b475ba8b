#include "platform/Guard.h"

#include "platform/Error.h"
#include "platform/Prompts.h"

#include <new>

std::optional<QString> FailureOf(const std::function<void()>& step) noexcept {
    try {
        step();
    } catch (const Error& error) {
        return error.message();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
    return std::nullopt;
}

void RunGuarded(const std::function<void()>& handler) noexcept {
    if (const std::optional<QString> failure = FailureOf(handler)) {
        ShowApplicationError(*failure);
    }
}
