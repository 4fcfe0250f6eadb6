// Scoped holding of a pthread mutex (the agents' mutexes are pthread ones so
// that a failed initialisation can be reported at start-up).
#pragma once

#include <pthread.h>

class MutexLock {
  public:
    explicit MutexLock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexLock() { pthread_mutex_unlock(&m_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

  private:
    pthread_mutex_t &m_;
};

// Scoped release of a pthread mutex the caller holds: unlocked for the
// scope, locked again at its end.
class MutexUnlock {
  public:
    explicit MutexUnlock(pthread_mutex_t &m) : m_(m) { pthread_mutex_unlock(&m_); }
    ~MutexUnlock() { pthread_mutex_lock(&m_); }
    MutexUnlock(const MutexUnlock &) = delete;
    MutexUnlock &operator=(const MutexUnlock &) = delete;

  private:
    pthread_mutex_t &m_;
};
