#pragma once

#include "Error.h"
#include "diagnostics/DiagnosticsLogger.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QString>
#include <QtConcurrent/QtConcurrentRun>
#include <exception>

namespace hoplin {

// Starts a coroutine that nobody awaits (from a slot or a timer). An escaping exception would
// otherwise vanish; it is logged under `category` instead.
template <typename T> void detach(QCoro::Task<T> task, QString category, QString what)
{
    [](QCoro::Task<T> inner, QString category, QString what) -> QCoro::Task<> {
        try {
            co_await std::move(inner);
        } catch (const Error &error) {
            DiagnosticsLogger::shared().log(category, what + QStringLiteral(" failed: ") + error.description());
        } catch (const std::exception &error) {
            DiagnosticsLogger::shared().log(category,
                                            what + QStringLiteral(" failed: ") + QString::fromUtf8(error.what()));
        } catch (...) {
            DiagnosticsLogger::shared().log(category, what + QStringLiteral(" failed with an unknown error"));
        }
    }(std::move(task), std::move(category), std::move(what));
}

// Runs `work` on the shared thread pool; co_await the result to resume on the caller's thread.
// (QCoro's QThread awaiter can miss a thread that finishes while it starts listening.) Pass a named
// callable: GCC 12 mishandles lambda temporaries inside a co_await expression.
template <typename Work> auto runInBackground(Work &&work)
{
    return QtConcurrent::run(std::forward<Work>(work));
}

} // namespace hoplin
