#pragma once
#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <type_traits>
#include <utility>

namespace gt {

// The one way app code runs work off the UI thread: `work` runs on `pool`, then `then(result)` runs on
// `context`'s thread. When `context` is destroyed first, the result is dropped (the watcher is its child
// and dies with it), so a closed view never receives a late answer. `work` must not throw.
template <typename Work, typename Then>
void runInBackground(QThreadPool* pool, QObject* context, Work work, Then then) {
  using R = std::invoke_result_t<Work>;
  auto* watcher = new QFutureWatcher<R>(context);
  QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, then = std::move(then)]() mutable {
    watcher->deleteLater();
    then(watcher->result());
  });
  watcher->setFuture(QtConcurrent::run(pool, std::move(work)));
}

}  // namespace gt
