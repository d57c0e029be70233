// What the stores share inside: objects on the C heap (operator new would
// tie a store to the C++ runtime, which C programs linking it do not have)
// and a scoped pthread lock. Not installed.
#pragma once

#include <cstdlib>
#include <memory>
#include <new>

#include <pthread.h>

namespace store_support {

template <class T> struct Destroy {
    void operator()(T *p) const {
        p->~T();
        std::free(p);
    }
};
template <class T> using Owned = std::unique_ptr<T, Destroy<T>>;

template <class T> Owned<T> make_owned() {
    void *place = std::malloc(sizeof(T));
    return Owned<T>(place == nullptr ? nullptr : ::new (place) T());
}

class PthreadLock {
  public:
    explicit PthreadLock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~PthreadLock() { pthread_mutex_unlock(&m_); }
    PthreadLock(const PthreadLock &) = delete;
    PthreadLock &operator=(const PthreadLock &) = delete;

  private:
    pthread_mutex_t &m_;
};

} // namespace store_support
