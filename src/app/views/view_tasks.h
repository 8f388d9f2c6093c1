#pragma once
class QThreadPool;

// The views' background work: searches, hook state reads and installer runs. Its own pool, because a
// tool run can block a thread for minutes and the global pool has only one thread per core; three
// rows changing at once must not starve a search or a state read.
namespace ViewTasks {

inline constexpr int kMaxThreads = 8;

// Never destroyed: quitting must not wait for a tool run that is still going.
QThreadPool* pool();

}  // namespace ViewTasks
