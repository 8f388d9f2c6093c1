#include "app/views/view_tasks.h"

#include <QThreadPool>

namespace ViewTasks {

QThreadPool* pool() {
  static QThreadPool* p = [] {
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(kMaxThreads);
    pool->setExpiryTimeout(30000);
    return pool;
  }();
  return p;
}

}  // namespace ViewTasks
