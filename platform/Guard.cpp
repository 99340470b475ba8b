#include "platform/Guard.h"

#include "platform/Error.h"
#include "platform/Prompts.h"

#include <QString>
#include <new>

void RunGuarded(const std::function<void()>& handler) noexcept {
    try {
        handler();
    } catch (const Error& error) {
        ShowApplicationError(error.message());
    } catch (const std::bad_alloc&) {
        ShowApplicationError(QStringLiteral("Out of memory"));
    } catch (const std::exception& error) {
        ShowApplicationError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unknown error"));
    }
}
