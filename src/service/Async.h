#pragma once

#include "Error.h"
#include "app/DiagnosticsLogger.h"

#include <QString>
#include <QCoro/QCoroTask>
#include <exception>

namespace hoplin {

// Starts a coroutine that nobody awaits (from a slot or a timer). An escaping exception would
// otherwise vanish; it is logged under `category` instead.
template <typename T>
void detach(QCoro::Task<T> task, QString category, QString what)
{
    [](QCoro::Task<T> inner, QString category, QString what) -> QCoro::Task<> {
        try {
            co_await std::move(inner);
        } catch (const Error &error) {
            DiagnosticsLogger::shared().log(category, what + QStringLiteral(" failed: ") + error.description());
        } catch (const std::exception &error) {
            DiagnosticsLogger::shared().log(category, what + QStringLiteral(" failed: ") + QString::fromUtf8(error.what()));
        } catch (...) {
            DiagnosticsLogger::shared().log(category, what + QStringLiteral(" failed with an unknown error"));
        }
    }(std::move(task), std::move(category), std::move(what));
}

} // namespace hoplin
