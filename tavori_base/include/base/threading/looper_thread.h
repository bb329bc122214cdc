// A thread that runs posted tasks one after another, in the order they were posted.
//
// PostTask may be called from any thread.  Tasks run on the looper's own thread, which starts
// with the looper.  Shutdown() (and the destructor) stops taking new work, runs every task that
// was posted before it, and joins the thread; a task posted after that runs at once on the
// posting thread, so nothing that was posted is ever dropped.
//
// The process-wide file looper (FileLooper) is for blocking file and database work of the whole
// module (the platform SDK hashes its downloads on it too).  It lives until the process ends (or
// the module that holds it is unloaded), when its exit handler first runs the steps registered
// with RunBeforeFileLooperExit (threads that post file work stop there), then drains the looper
// and shuts it down.

#ifndef BASE_THREADING_LOOPER_THREAD_H_
#define BASE_THREADING_LOOPER_THREAD_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/location.h"
#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"

namespace base::threading {

class LooperThread {
 public:
  using Task = std::function<void()>;

  explicit LooperThread(std::string name);
  virtual ~LooperThread();
  LooperThread(const LooperThread&) = delete;
  LooperThread& operator=(const LooperThread&) = delete;

  // Queues |task| behind the tasks posted before it.  |from| names the poster in log records.
  virtual void PostTask(Task task, Location from);

  // Blocks until every task posted before the call has run.  On the looper's own thread it runs
  // nothing and returns at once (the earlier tasks have run, since tasks run in order).
  void Flush();

  // Runs the tasks already posted, then ends and joins the thread.  Idempotent.  Called on the
  // looper's own thread (a task that ends the process), it runs the remaining tasks inline.
  void Shutdown();

  bool RunsTasksOnCurrentThread() const;
  // Whether Shutdown has begun: tasks posted from then on run on the posting thread.
  bool stopping() const EXCLUDES(lock_);
  const std::string& name() const { return name_; }

  // The process-wide looper for file work, started on first use.  Code that must run there
  // asserts it with BASE_DCHECK(base::threading::OnFileThread()) (base/threading/thread_checker.h).
  static std::shared_ptr<LooperThread> FileLooper();
  // Adds |step| to the file looper's exit handler, to run before the looper is drained; steps
  // run in the reverse order of their registration.  Starts the file looper, and registers the
  // handler with atexit once more, so that it runs before the static objects made since are
  // destroyed (the handler is idempotent).  Any thread.
  static void RunBeforeFileLooperExit(std::function<void()> step);
  // Makes the exit handler do nothing: for a process torn down after its other threads were ended
  // where they stood (a Windows DLL's detach at process exit), where joining them, or taking a
  // lock one of them held, could wait forever.  Any thread.
  static void AbandonAtExit();

 private:
  struct PendingTask {
    Task task;
    Location from;
  };

  void Run();
  static void RunTask(PendingTask& pending);

  const std::string name_;
  Lock shutdown_lock_;  // serialises Shutdown() calls
  mutable Lock lock_ ACQUIRED_AFTER(shutdown_lock_);
  ConditionVariable work_available_;
  ConditionVariable idle_;
  std::deque<PendingTask> tasks_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  bool running_task_ GUARDED_BY(lock_) = false;
  // Started by the constructor; joined or detached by the first Shutdown, under shutdown_lock_.
  std::thread thread_;
  std::thread::id thread_id_;
};

}  // namespace base::threading

#endif  // BASE_THREADING_LOOPER_THREAD_H_
