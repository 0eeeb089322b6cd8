#pragma once

// How many threads a team may use on the machine as it is now. A team whose
// threads have lost their cores to other processes waits, at every gathering,
// for a scheduler slice or more; a single thread does not.

namespace velmora::detail {

// Of `team` threads, the calling thread among them, how many would find a
// core that no other process's runnable thread wants at this moment: `team`
// when the machine has that many free, at least 1. The kernel's count of
// runnable threads, less this process's own (a team spins for a while after
// each gathering), is read from /proc; where that cannot be read, or where
// this process may not run on every core, the answer is `team`.
int free_cores(int team);

} // namespace velmora::detail
