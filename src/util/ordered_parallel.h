#pragma once

// Runs numbered pieces of work on several threads and hands each finished piece to the
// calling thread strictly in number order, so output written there does not depend on the
// thread count.

#include <functional>

// work(unit, worker) runs on worker thread `worker` (0 .. threads - 1; with one thread, on
// the calling thread); consume(unit) runs on the calling thread, units 0, 1, 2, ... in
// order, each as soon as it and every earlier unit are done. A unit starts only when it is
// less than max_ahead units after the first one not yet consumed (max_ahead taken as at
// least 1), which bounds the results held: a caller may keep them in max_ahead slots,
// unit % max_ahead, each free again once its unit is consumed.
// An exception from work is rethrown by the calling thread when consume would reach that
// unit (so the first failure in unit order is the one reported); one from consume stops
// the workers and is rethrown.
void run_in_order(int unit_count, int threads, int max_ahead,
                  const std::function<void(int unit, int worker)>& work,
                  const std::function<void(int unit)>& consume);

// body(index, thread) for every index 0 .. count - 1, spread over `threads` threads (thread 0
// is the calling one) in small consecutive batches taken in turn. An exception from body stops
// the handing out; the one of the lowest index is rethrown once every thread is done, so the
// failure reported does not depend on the thread count.
void parallel_for(int count, int threads, const std::function<void(int index, int thread)>& body);
