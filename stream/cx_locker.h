// SPDX-License-Identifier: MIT
#ifndef CX_LOCKER_H
#define CX_LOCKER_H

#include <QMutex>

// Qt's mutex, wait condition and thread join synchronise partly inside the
// Qt library, where ThreadSanitizer cannot see it. Under ThreadSanitizer
// these annotations state the happens-before edges that Qt provides, so
// that the tool checks our own accesses instead of reporting Qt's; in every
// other build they compile to nothing.
#if defined(__SANITIZE_THREAD__)
#define CX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CX_TSAN 1
#endif
#endif

#ifdef CX_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void cx_syncacquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
inline void cx_syncrelease(const void* p) { __tsan_release(const_cast<void*>(p)); }
#else
inline void cx_syncacquire(const void*) {}
inline void cx_syncrelease(const void*) {}
#endif

// Holds a QMutex for one scope.
class cx_locker {
 public:
  explicit cx_locker(QMutex* m) : mutex(m) {
    mutex->lock();
    cx_syncacquire(mutex);
  }
  ~cx_locker() {
    cx_syncrelease(mutex);
    mutex->unlock();
  }
  cx_locker(const cx_locker&) = delete;
  cx_locker& operator=(const cx_locker&) = delete;

 private:
  QMutex* mutex;
};

#endif
